// CrashLine: builds one line of the crash report in a fixed buffer, with
// the few printf conversions the report needs ("%-3d", "%*p", "%zd", "%s"),
// so that a fault handler can format text without the allocator, stdio or
// any lock. Text beyond the capacity is cut, as snprintf would cut it.
//
// Thread-safety: none needed; each handler invocation uses its own object
// on its stack. Every member is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

class CrashLine {
  public:
    static constexpr size_t kCapacity = 1024;

    // Appends `part` (a null pointer appends "(null)").
    CrashLine& text(const char* part);
    // Appends `count` bytes of `part`.
    CrashLine& bytes(const char* part, size_t count);
    // Appends `value` in decimal, padded with blanks to `width`: on the right
    // when `leftAlign` (like "%-3d"), otherwise on the left.
    CrashLine& decimal(long long value, int width = 0, bool leftAlign = false);
    // Appends `address` as "%*p" does: "0x" and lowercase hex digits, or
    // "(nil)" for null, right-aligned in `width`.
    CrashLine& pointer(const void* address, int width = 0);
    // Appends the text of `other`.
    CrashLine& line(const CrashLine& other) { return bytes(other.data(), other.size()); }

    const char* data() const { return m_buffer; }
    // The number of bytes held; never above kCapacity - 1, the room snprintf
    // leaves in a buffer of kCapacity bytes.
    size_t size() const { return m_length; }
    void clear() { m_length = 0; }

  private:
    CrashLine& padded(const char* digits, size_t count, int width, bool leftAlign);

    char m_buffer[kCapacity];
    size_t m_length = 0;
};
