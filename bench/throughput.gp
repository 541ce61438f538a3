# Loopback throughput against write size: the port stack (\\.\COM7) and the
# raw pipes (\PIPE00 and \PIPE01), from the figures of one `make bench` run.
# Called by bench/summary.py with: gnuplot -e "data='...'; out='...'" bench/throughput.gp
set terminal svg size 800,500 dynamic
set output out
set title "Loopback throughput, instant bus, high-speed adapter"
set xlabel "bytes per write"
set ylabel "MB/s"
set logscale x 2
set logscale y 10
set grid
set key top left
plot data using 1:($2/1e6) with linespoints title "port stack (COM7)", \
     data using 1:($3/1e6) with linespoints title "raw pipe (PIPE00 -> PIPE01)"
