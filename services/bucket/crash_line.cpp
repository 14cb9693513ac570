#include "crash_line.h"

CrashLine& CrashLine::bytes(const char* part, size_t count) {
    for (size_t i = 0; i < count && m_length + 1 < kCapacity; ++i) {
        m_buffer[m_length++] = part[i];
    }
    return *this;
}

CrashLine& CrashLine::text(const char* part) {
    if (part == nullptr) {
        part = "(null)";
    }
    size_t count = 0;
    while (part[count] != '\0') {
        ++count;
    }
    return bytes(part, count);
}

CrashLine& CrashLine::padded(const char* digits, size_t count, int width, bool leftAlign) {
    const size_t pad = width > 0 && static_cast<size_t>(width) > count ? width - count : 0;
    if (!leftAlign) {
        for (size_t i = 0; i < pad; ++i) {
            bytes(" ", 1);
        }
    }
    bytes(digits, count);
    if (leftAlign) {
        for (size_t i = 0; i < pad; ++i) {
            bytes(" ", 1);
        }
    }
    return *this;
}

CrashLine& CrashLine::decimal(long long value, int width, bool leftAlign) {
    char digits[24];
    size_t start = sizeof(digits);
    // Work on the magnitude as unsigned, so the lowest value does not overflow.
    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        digits[--start] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        digits[--start] = '-';
    }
    return padded(digits + start, sizeof(digits) - start, width, leftAlign);
}

CrashLine& CrashLine::pointer(const void* address, int width) {
    if (address == nullptr) {
        return padded("(nil)", 5, width, false);
    }
    static const char kHex[] = "0123456789abcdef";
    char digits[2 + 2 * sizeof(uintptr_t)];
    size_t start = sizeof(digits);
    uintptr_t value = reinterpret_cast<uintptr_t>(address);
    while (value != 0) {
        digits[--start] = kHex[value & 0xf];
        value >>= 4;
    }
    digits[--start] = 'x';
    digits[--start] = '0';
    return padded(digits + start, sizeof(digits) - start, width, false);
}
