// The order of the meter's virtual table is the binary contract with the
// host: the host calls each operation by its slot. Each operation's slot is
// read from its pointer-to-member.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "ved96/ved96.h"

namespace {

// A pointer to a virtual member function holds the slot's byte offset in the
// virtual table. The generic Itanium form (x86-64) marks it virtual with the
// low bit of the pointer word (offset + 1); the ARM form keeps the offset in
// the pointer word and marks it virtual with the low bit of the adjustment
// (2 * this-adjustment + 1). -1 means not virtual.
std::ptrdiff_t slotItanium(std::ptrdiff_t ptr, std::ptrdiff_t) {
    if ((ptr & 1) == 0) return -1;
    return (ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

std::ptrdiff_t slotArm(std::ptrdiff_t ptr, std::ptrdiff_t adj) {
    if ((adj & 1) == 0) return -1;
    return ptr / static_cast<std::ptrdiff_t>(sizeof(void*));
}

template <typename Member>
std::ptrdiff_t slotOf(Member member) {
    struct {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(Member) == sizeof(rep), "two-word member function pointer");
    std::memcpy(&rep, &member, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    return slotArm(rep.ptr, rep.adj);
#else
    return slotItanium(rep.ptr, rep.adj);
#endif
}

TEST(MemberPointerDecoding, BothFormsAgreeOnHandMadeValues) {
    const std::ptrdiff_t w = sizeof(void*);
    EXPECT_EQ(slotItanium(1, 0), 0);
    EXPECT_EQ(slotItanium(34 * w + 1, 0), 34);
    EXPECT_EQ(slotItanium(0x1000, 0), -1) << "plain function address";
    EXPECT_EQ(slotArm(0, 1), 0);
    EXPECT_EQ(slotArm(34 * w, 1), 34);
    EXPECT_EQ(slotArm(0x1000, 0), -1) << "plain function address";
}

struct Slot {
    const char* name;
    std::ptrdiff_t expected;
    std::ptrdiff_t actual;
};

using StrLoad = bool (ved96::*)(const std::string&);
using RawLoad = bool (ved96::*)(const unsigned char*, int);

// Slots 8 and 9 hold the complete-object and deleting destructors.
const Slot kSlots[] = {
    {"Get_Value", 0, slotOf(&ved96::Get_Value)},
    {"LoadFromCache(string)", 1, slotOf(static_cast<StrLoad>(&ved96::LoadFromCache))},
    {"LoadFromCache(bytes)", 2, slotOf(static_cast<RawLoad>(&ved96::LoadFromCache))},
    {"DataId", 3, slotOf(&ved96::DataId)},
    {"DeviceType", 4, slotOf(&ved96::DeviceType)},
    {"DeviceIoControl", 5, slotOf(&ved96::DeviceIoControl)},
    {"RoundDone", 6, slotOf(&ved96::RoundDone)},
    {"UseControllerDb", 7, slotOf(&ved96::UseControllerDb)},
    {"Reset", 10, slotOf(&ved96::Reset)},
    {"InitV", 11, slotOf(&ved96::InitV)},
    {"Init", 12, slotOf(&ved96::Init)},
    {"InitSetting", 13, slotOf(&ved96::InitSetting)},
    {"IsSupportDevice", 14, slotOf(&ved96::IsSupportDevice)},
    {"GetChildVDevice", 15, slotOf(&ved96::GetChildVDevice)},
    {"GetAllChildVDevices", 16, slotOf(&ved96::GetAllChildVDevices)},
    {"SendSP", 17, slotOf(&ved96::SendSP)},
    {"SendDelayData", 18, slotOf(&ved96::SendDelayData)},
    {"SendDoData", 19, slotOf(&ved96::SendDoData)},
    {"ReadDi", 20, slotOf(&ved96::ReadDi)},
    {"ReadAi", 21, slotOf(&ved96::ReadAi)},
    {"Get_SP_Value", 22, slotOf(&ved96::Get_SP_Value)},
    {"RefreshStatus", 23, slotOf(&ved96::RefreshStatus)},
    {"process", 24, slotOf(&ved96::process)},
    {"IsProcessing", 25, slotOf(&ved96::IsProcessing)},
    {"IsStalled", 26, slotOf(&ved96::IsStalled)},
    {"SendData", 27, slotOf(&ved96::SendData)},
    {"SendParityData", 28, slotOf(&ved96::SendParityData)},
    {"OpenPort", 29, slotOf(&ved96::OpenPort)},
    {"ClosePort", 30, slotOf(&ved96::ClosePort)},
    {"process_payload", 31, slotOf(&ved96::process_payload)},
    {"on_error", 32, slotOf(&ved96::on_error)},
    {"RunCheckThreshold", 33, slotOf(&ved96::RunCheckThreshold)},
    {"GenJsonData", 34, slotOf(&ved96::GenJsonData)},
};

TEST(VirtualTable, OperationsSitInTheHostsSlotOrder) {
    for (const auto& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(slot.actual, slot.expected);
    }
}

TEST(VirtualTable, ModelOverridesAreTheOnesCalledThroughTheHostBase) {
    // Calling through the host's base reaches the model: a fresh meter's
    // RefreshStatus queues the first block and returns 1.
    ved96 meter;
    SMDSPDevice& base = meter;
    EXPECT_EQ(base.RefreshStatus(), 1);
    EXPECT_EQ(meter.curTab_, 11);
    EXPECT_TRUE(meter.hasRequest());
}

// A virtual added after the 35 slots takes slot 35, so an operation added to
// (or dropped from) the meter's table moves it and is caught here.
struct Extended : ved96 {
    virtual void added() {}
};

TEST(VirtualTable, ThirtyFiveSlotsInAll) { EXPECT_EQ(slotOf(&Extended::added), 35); }

// The meter's virtual table entry `slot`, called as the host's ABI calls a
// destructor: with the object and nothing else.
using DestructorEntry = void (*)(ved96*);
DestructorEntry tableEntry(ved96* meter, std::size_t slot) {
    void** table = nullptr;
    std::memcpy(&table, meter, sizeof table);
    DestructorEntry entry = nullptr;
    std::memcpy(&entry, &table[slot], sizeof entry);
    return entry;
}

struct Counted : ved96 {
    ~Counted() override { ++destroyed; }
    static int destroyed;
};
int Counted::destroyed = 0;

TEST(VirtualTable, SlotEightDestroysAndSlotNineDestroysAndFrees) {
    Counted::destroyed = 0;
    alignas(Counted) unsigned char storage[sizeof(Counted)];
    auto* inPlace = new (storage) Counted;
    tableEntry(inPlace, 8)(inPlace);  // complete-object destructor: storage stays
    EXPECT_EQ(Counted::destroyed, 1);

    auto* onHeap = new Counted;
    tableEntry(onHeap, 9)(onHeap);  // deleting destructor; a leak checker sees it freed
    EXPECT_EQ(Counted::destroyed, 2);
}

}  // namespace
