// The systematic fault run on a small driver with three allocation sites:
// a careful one survives the failure of each, a flawed one is caught at the
// site whose failure path is wrong.
#include "sim/kernel/faultrun.h"

#include <gtest/gtest.h>

#include "tests/sim/testkit.h"

namespace {

constexpr ULONG WIDGET_TAG = 0x78746357;  // 'Wctx'
constexpr ULONG BUFFER_TAG = 0x66756257;  // 'Wbuf'
constexpr ULONG OTHER_TAG = 0x72687441;   // 'Athr'
constexpr ULONG BUFFER_SIZE = 256;

typedef struct _WIDGET {
  PUCHAR Buffer;
  PIRP Request;
} WIDGET, *PWIDGET;

enum class Flaw { None, LeakContextWhenRequestFails, WrongStatusWhenBufferFails };

[[gnu::noinline]] PWIDGET AllocateContext() {
  return (PWIDGET)ExAllocatePoolWithTag(NonPagedPool, sizeof(WIDGET), WIDGET_TAG);
}
[[gnu::noinline]] PUCHAR AllocateBuffer() { return (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BUFFER_SIZE, BUFFER_TAG); }
[[gnu::noinline]] PIRP AllocateRequest() { return IoAllocateIrp(1, FALSE); }

// Sets up a widget: its context, a buffer and a request it reuses. A failure
// releases what was got, in reverse order, unless `flaw` says otherwise.
NTSTATUS StartWidget(Flaw flaw, PWIDGET* out) {
  PWIDGET widget = AllocateContext();
  if (!widget) return STATUS_INSUFFICIENT_RESOURCES;
  widget->Buffer = AllocateBuffer();
  if (!widget->Buffer) {
    ExFreePoolWithTag(widget, WIDGET_TAG);
    return flaw == Flaw::WrongStatusWhenBufferFails ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }
  widget->Request = AllocateRequest();
  if (!widget->Request) {
    ExFreePoolWithTag(widget->Buffer, BUFFER_TAG);
    if (flaw != Flaw::LeakContextWhenRequestFails) ExFreePoolWithTag(widget, WIDGET_TAG);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *out = widget;
  return STATUS_SUCCESS;
}

void StopWidget(PWIDGET widget) {
  IoFreeIrp(widget->Request);
  ExFreePoolWithTag(widget->Buffer, BUFFER_TAG);
  ExFreePoolWithTag(widget, WIDGET_TAG);
}

// Boots a machine, lets another driver allocate too, starts and stops a widget.
// A start that fails must say STATUS_INSUFFICIENT_RESOURCES and leave no pool
// behind (the machine checks at unload).
sim::FaultScenario WidgetScenario(Flaw flaw) {
  return [flaw](const sim::MachineOptions& options) {
    sim::Machine machine(options);
    PDRIVER_OBJECT other = testkit::LoadDriver(machine, u"Other");
    PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Widget");
    testkit::AsDriver(other, [] {
      if (PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, OTHER_TAG)) ExFreePool(p);
    });
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PWIDGET widget = nullptr;
    testkit::AsDriver(driver, [&] {
      status = StartWidget(flaw, &widget);
      if (NT_SUCCESS(status) && widget) StopWidget(widget);
    });
    return (NT_SUCCESS(status) && widget) || status == STATUS_INSUFFICIENT_RESOURCES;
  };
}

sim::MachineOptions OnlyWidget() {
  sim::MachineOptions options;
  options.faults.driver = "Widget";
  return options;
}

}  // namespace

TEST(FaultRun, EachFailurePathOfACarefulDriverSurvives) {
  sim::FaultRunReport report = sim::RunFailingEachSite(WidgetScenario(Flaw::None), OnlyWidget());
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  ASSERT_EQ(report.sites.size(), 3u) << "only the widget driver's sites: " << report.Describe();
  EXPECT_EQ(report.sites[0].routine, "AllocateContext");
  EXPECT_EQ(report.sites[1].routine, "AllocateBuffer");
  EXPECT_EQ(report.sites[2].routine, "AllocateRequest");
}

TEST(FaultRun, EveryDriversSitesAreRunWithoutARestriction) {
  sim::FaultRunReport report = sim::RunFailingEachSite(WidgetScenario(Flaw::None));
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  ASSERT_EQ(report.sites.size(), 4u) << report.Describe();
  EXPECT_EQ(report.sites[1].routine, "AllocateContext");
}

TEST(FaultRun, AFailurePathThatLeaksIsReportedWithTheLeak) {
  sim::FaultRunReport report = sim::RunFailingEachSite(WidgetScenario(Flaw::LeakContextWhenRequestFails), OnlyWidget());
  EXPECT_TRUE(report.baseline.survived) << report.Describe();
  ASSERT_EQ(report.sites.size(), 3u) << report.Describe();
  EXPECT_TRUE(report.sites[0].run.survived) << report.Describe();
  EXPECT_TRUE(report.sites[1].run.survived) << report.Describe();
  EXPECT_FALSE(report.sites[2].run.survived);
  EXPECT_NE(report.sites[2].run.failure.find("VERIFIER STOP: PoolLeak: Widget unloads with 1 pool block(s)"),
            std::string::npos)
      << report.sites[2].run.failure;
  EXPECT_NE(report.sites[2].run.failure.find("tag 'Wctx', " + std::to_string(sizeof(WIDGET)) + " bytes"), std::string::npos) << report.sites[2].run.failure;
  EXPECT_NE(report.sites[2].run.failure.find("allocated in AllocateContext"), std::string::npos)
      << report.sites[2].run.failure;
  EXPECT_FALSE(report.AllSurvived());
  EXPECT_NE(report.Describe().find("site 3 in AllocateRequest"), std::string::npos) << report.Describe();
}

TEST(FaultRun, AFailurePathWithTheWrongStatusIsReportedByTheScenario) {
  sim::FaultRunReport report = sim::RunFailingEachSite(WidgetScenario(Flaw::WrongStatusWhenBufferFails), OnlyWidget());
  ASSERT_EQ(report.sites.size(), 3u) << report.Describe();
  EXPECT_TRUE(report.sites[0].run.survived);
  EXPECT_EQ(report.sites[1].run.failure, "the scenario reported a failure");
  EXPECT_TRUE(report.sites[2].run.survived);
}

TEST(FaultRun, AScenarioThatFailsWithoutFaultsIsNotRunPerSite) {
  sim::FaultRunReport report = sim::RunFailingEachSite([](const sim::MachineOptions& options) {
    sim::Machine machine(options);
    PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Widget");
    testkit::AsDriver(driver, [] { AllocateContext(); });  // leaks every time
    return true;
  });
  EXPECT_FALSE(report.baseline.survived);
  EXPECT_NE(report.baseline.failure.find("VERIFIER STOP: PoolLeak"), std::string::npos) << report.baseline.failure;
  EXPECT_TRUE(report.sites.empty());
}
