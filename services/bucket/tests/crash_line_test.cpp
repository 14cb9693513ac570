// CrashLine must write exactly what printf writes for the crash report's
// conversions, since log scanners read the report's frame lines.
#include "crash_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

std::string printed(const CrashLine& line) {
    return std::string(line.data(), line.size());
}

std::string frameByPrintf(int i, const void* address, const char* name, ptrdiff_t offset) {
    char buffer[CrashLine::kCapacity];
    snprintf(buffer, sizeof(buffer), "%-3d %*p %s + %zd---------", i, 18, address, name, offset);
    return buffer;
}

std::string frameByCrashLine(int i, const void* address, const char* name, ptrdiff_t offset) {
    CrashLine line;
    line.decimal(i, 3, true).text(" ").pointer(address, 18).text(" ").text(name);
    line.text(" + ").decimal(offset).text("---------");
    return printed(line);
}

TEST(CrashLine, FrameLinesMatchPrintf) {
    const struct {
        int index;
        uintptr_t address;
        const char* name;
        ptrdiff_t offset;
    } cases[] = {
        {0, 0x55d4c1a2b3c4, "_Z7handleri", 52},
        {9, 0x7f0000000001, "__libc_start_main", 0},
        {19, 0xffffffffffffffff, "x", 123456789},
        {123, 0x1, "", -7},
        {1234, 0, "main", 4096},
        {-1, 0xdeadbeef, "negative", LLONG_MIN},
    };
    for (const auto& c : cases) {
        const void* address = reinterpret_cast<const void*>(c.address);
        EXPECT_EQ(frameByPrintf(c.index, address, c.name, c.offset),
                  frameByCrashLine(c.index, address, c.name, c.offset));
    }
}

TEST(CrashLine, PlainConversions) {
    CrashLine line;
    line.decimal(5).text("|").decimal(-42, 6).text("|").decimal(7, 4, true).text("|");
    line.pointer(nullptr, 8).text("|").text(nullptr);
    char expected[128];
    snprintf(expected, sizeof(expected), "%d|%6d|%-4d|%8p|%s", 5, -42, 7, nullptr, "(null)");
    EXPECT_EQ(expected, printed(line));
}

// Like snprintf into a buffer of 1024 bytes: at most 1023 bytes, the rest cut.
TEST(CrashLine, LongTextIsCut) {
    const std::string name(3000, 'n');
    CrashLine line;
    line.text("(1) ").text(name.c_str()).text("---------");
    EXPECT_EQ(CrashLine::kCapacity - 1, line.size());
    EXPECT_EQ("(1) nnn", printed(line).substr(0, 7));
    CrashLine copy;
    copy.text("ab").line(line);
    EXPECT_EQ(CrashLine::kCapacity - 1, copy.size());
    line.clear();
    EXPECT_EQ(0u, line.size());
}

}  // namespace
