// The IRQL rules: waits, pageable pool and passive-only routines at raised
// IRQL, and raising or lowering the wrong way. Each scenario is a driver
// routine that calls one kernel routine at the wrong IRQL.
#include <gtest/gtest.h>

#include "tests/sim/verifier_kit.h"

using verifierkit::kTag;
using verifierkit::TestDevice;

namespace {

// Runs `body` as a routine of a driver named Port at `irql`.
void AtIrql(KIRQL irql, const std::function<void(TestDevice&)>& body) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    body(port);
    KeLowerIrql(old);
  });
}

void WaitForeverAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  });
}

void WaitWithTimeoutAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) {
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    PVOID objects[] = {&first, &second};
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 10'000;  // 10 ms
    KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
  });
}

void DelayAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  });
}

void AllocatePagedAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) { ExAllocatePoolWithTag(PagedPool, 16, kTag); });
}

void FreePagedAtDispatch() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] {
    PVOID buffer = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    ExFreePoolWithTag(buffer, kTag);
    KeLowerIrql(old);
  });
}

void CreateLinkAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM9");
    RtlInitUnicodeString(&target, L"\\Device\\Port0");
    IoCreateSymbolicLink(&link, &target);
  });
}

void OpenDeviceAtApcLevel() {
  AtIrql(APC_LEVEL, [](TestDevice&) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Port0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device);
  });
}

void CreateDeviceAtDispatch() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice& port) {
    PDEVICE_OBJECT device;
    IoCreateDevice(port.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  });
}

void RaiseToLowerIrql() {
  AtIrql(DISPATCH_LEVEL, [](TestDevice&) {
    KIRQL old;
    KeRaiseIrql(PASSIVE_LEVEL, &old);
  });
}

void LowerToHigherIrql() {
  AtIrql(PASSIVE_LEVEL, [](TestDevice&) { KeLowerIrql(DISPATCH_LEVEL); });
}

void SetEventAtHighLevel() {
  AtIrql(HIGH_LEVEL, [](TestDevice&) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
}

}  // namespace

TEST(VerifierIrql, WaitingAtDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(WaitForeverAtDispatch(),
               "VERIFIER STOP: IrqlWait.*KeWaitForSingleObject with no timeout \\(an infinite wait\\) at IRQL 2"
               ".*\\(Port, routine\\)");
  EXPECT_DEATH(WaitWithTimeoutAtDispatch(),
               "VERIFIER STOP: IrqlWait.*KeWaitForMultipleObjects with a nonzero timeout at IRQL 2");
  EXPECT_DEATH(DelayAtDispatch(), "VERIFIER STOP: IrqlWait.*KeDelayExecutionThread at IRQL 2");
}

TEST(VerifierIrql, PagedPoolAboveApcLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AllocatePagedAtDispatch(),
               "VERIFIER STOP: IrqlPool.*paged pool \\(tag 'Test', 16 bytes\\) allocated at IRQL 2");
  EXPECT_DEATH(FreePagedAtDispatch(), "VERIFIER STOP: IrqlPool.*paged pool 0x[0-9a-f]+ \\(tag 'Test'\\) freed at IRQL 2");
}

TEST(VerifierIrql, PassiveOnlyRoutinesAbovePassiveLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CreateLinkAtDispatch(),
               "VERIFIER STOP: IrqlPassive.*IoCreateSymbolicLink called at IRQL 2; it may only be called at IRQL <= 0");
  EXPECT_DEATH(OpenDeviceAtApcLevel(), "VERIFIER STOP: IrqlPassive.*IoGetDeviceObjectPointer called at IRQL 1");
  EXPECT_DEATH(CreateDeviceAtDispatch(), "VERIFIER STOP: IrqlPassive.*IoCreateDevice called at IRQL 2");
}

TEST(VerifierIrql, RaisingToLowerOrLoweringToRaise) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RaiseToLowerIrql(), "VERIFIER STOP: RaiseLower.*KfRaiseIrql to 0 from the higher IRQL 2");
  EXPECT_DEATH(LowerToHigherIrql(), "VERIFIER STOP: RaiseLower.*KfLowerIrql to 2 from the lower IRQL 0");
}

TEST(VerifierIrql, DispatchLevelRoutinesAboveDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SetEventAtHighLevel(),
               "VERIFIER STOP: IrqlDispatch.*KeSetEvent called at IRQL 31; it may only be called at IRQL <= 2");
}

// ---- The correct patterns: none of them stops the machine ----

TEST(VerifierIrql, CallsWithinTheirIrqlPassUnnoticed) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10'000;

    // Passive-only routines and a paged buffer at PASSIVE_LEVEL.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM9");
    RtlInitUnicodeString(&target, L"\\Device\\Port0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    ASSERT_NE(paged, nullptr);

    // At APC_LEVEL: waits with a timeout and paged pool are still allowed.
    KIRQL passive;
    KeRaiseIrql(APC_LEVEL, &passive);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
    ExFreePoolWithTag(paged, kTag);

    // At DISPATCH_LEVEL: a wait that only polls, nonpaged pool, setting an event.
    KIRQL apc;
    KeRaiseIrql(DISPATCH_LEVEL, &apc);
    EXPECT_EQ(apc, APC_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    PVOID nonpaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ASSERT_NE(nonpaged, nullptr);
    ExFreePoolWithTag(nonpaged, kTag);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);

    KeLowerIrql(apc);
    KeLowerIrql(passive);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
}
