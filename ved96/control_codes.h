// The control codes of the ved96 device interface (DeviceIoControl), shared
// by the plug-in, which handles them, and the host, which sends them.
#pragma once

namespace ved96_control {

enum Code : int {
    kWriteRegister = 206,       // in: address, value (words)
    kWriteRegisters = 210,      // in: start address, then the values
    kJsonCommand = 310,         // in: a JSON command
    kJsonSettingCommand = 320,  // in: a JSON setting command
    kReportText = 801,          // out: the report as JSON text
    kReportDocument = 803,      // out: a pointer to the report document
    // Not handled by the device: like every such code it answers with the
    // outcome of the last register write (a 32-bit WriteOutcome) before the
    // host's handler sees it. The host reads the outcome back with it.
    kReadWriteOutcome = 900,
};

// The outcome of the last register write, as kReadWriteOutcome reads it.
enum WriteOutcome : int {
    kWritePending = -1,  // sent, no reply yet (or none came)
    kWriteAcknowledged = 1,
    kWriteRefused = 3,  // refused by the meter, or a request that could not go out
};

// The codes the device handles itself; the read-back code must not be one.
inline constexpr Code kHandledCodes[] = {kWriteRegister,      kWriteRegisters, kJsonCommand,
                                         kJsonSettingCommand, kReportText,     kReportDocument};

constexpr bool handled(int code) {
    for (Code c : kHandledCodes)
        if (c == code) return true;
    return false;
}
static_assert(!handled(kReadWriteOutcome), "the write outcome is read back by an unhandled code");

}  // namespace ved96_control
