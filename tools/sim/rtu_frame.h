// Framing of Modbus RTU requests as the meter receives them on its line:
// where a request ends and whether its CRC holds. The meter does this itself
// rather than through libmodbus's receive, which, after a request for another
// unit, takes the next frame for that unit's reply and throws it away: on a
// line shared with a meter that never answers, every second request for this
// one would be lost.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vedsim {

// Modbus CRC-16 (polynomial 0xA001, start 0xFFFF) of data; the frame carries
// the low byte first.
uint16_t crc16(const uint8_t* data, size_t len);

// True when frame (address to CRC, len >= 4) ends with the CRC of the rest.
bool crc_ok(const uint8_t* frame, size_t len);

inline constexpr size_t kLengthNeedsMore = 0;       // the bytes that tell it are still to come
inline constexpr size_t kLengthUnknown = SIZE_MAX;  // the line's silence ends the frame

// Total length (address to CRC) of the request frame whose first `have` bytes
// are at frame, judged by its function code.
size_t request_length(const uint8_t* frame, size_t have);

// The silence that ends a frame: 3.5 characters of 11 bits, and at least
// 1750 us as for any speed above 19200 baud.
unsigned frame_gap_us(unsigned baud);

}  // namespace vedsim
