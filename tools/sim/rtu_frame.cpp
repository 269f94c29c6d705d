#include "rtu_frame.h"

namespace vedsim {

uint16_t crc16(const uint8_t* data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool crc_ok(const uint8_t* frame, size_t len) {
    if (len < 4) return false;
    const uint16_t crc = crc16(frame, len - 2);
    return frame[len - 2] == (crc & 0xFF) && frame[len - 1] == (crc >> 8);
}

size_t request_length(const uint8_t* frame, size_t have) {
    if (have < 2) return kLengthNeedsMore;
    switch (frame[1]) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            return 8;  // address, function, two 16-bit fields, CRC
        case 15:
        case 16:
            // address, function, start, quantity, byte count, data, CRC
            return have < 7 ? kLengthNeedsMore : 9 + size_t{frame[6]};
        default:
            return kLengthUnknown;
    }
}

unsigned frame_gap_us(unsigned baud) {
    if (baud == 0 || baud > 19200) return 1750;
    const unsigned us = 35u * 11u * 100000u / baud;  // 3.5 characters of 11 bits
    return us < 1750 ? 1750 : us;
}

}  // namespace vedsim
