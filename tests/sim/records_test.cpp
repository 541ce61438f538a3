// CONTAINING_RECORD and FIELD_OFFSET as drivers use them on queue links
// nested deep in an IRP: the record comes back from the address of a member
// of a member, computed without touching any member through a null pointer
// (the textbook form, &((type*)0)->field, is undefined behaviour that the
// sanitizers of the fuzz build stop on).
#include <gtest/gtest.h>

#include "sim/ddk/ntddk.h"

namespace {

TEST(Records, AMemberOfAMemberLeadsBackToItsIrp) {
  IRP irp{};
  // Through a volatile pointer, so the compiler cannot fold the arithmetic away.
  PLIST_ENTRY volatile link = &irp.Tail.Overlay.ListEntry;
  EXPECT_EQ(CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry), &irp);
  PKDEVICE_QUEUE_ENTRY volatile entry = &irp.Tail.Overlay.DeviceQueueEntry;
  EXPECT_EQ(CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry), &irp);
  EXPECT_EQ(FIELD_OFFSET(IRP, Tail.Overlay.ListEntry), (LONG)((PCHAR)&irp.Tail.Overlay.ListEntry - (PCHAR)&irp));
}

}  // namespace
