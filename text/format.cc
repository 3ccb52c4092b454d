#include "text/format.h"

#include <cstdint>
#include <limits>
#include <new>

#include "library/kernel.h"
#include "text/format_engine.h"

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
std::size_t g_capacityLimit = kNoLimit;

// Writes at most `capacity` units, the terminating null included.
class BoundedSink {
 public:
  BoundedSink(WideChar* buffer, std::size_t capacity) : m_Buffer(buffer), m_Capacity(capacity) {}
  bool Put(WideChar unit) {
    if (m_Count + 1 >= m_Capacity) return false;
    m_Buffer[m_Count++] = unit;
    return true;
  }
  std::size_t Finish() {
    m_Buffer[m_Count] = 0;
    return m_Count;
  }

 private:
  WideChar* m_Buffer;
  std::size_t m_Capacity;
  std::size_t m_Count = 0;
};

WideChar* Allocate(std::size_t capacity) {
  if (capacity > g_capacityLimit) return nullptr;
  return new (std::nothrow) WideChar[capacity];
}

}  // namespace

void SetFormatNewCapacityLimit(std::size_t units) { g_capacityLimit = units; }

WideChar* FormatNewV(const WideChar* format, va_list args) {
  constexpr std::size_t kMaxCapacity = std::numeric_limits<std::size_t>::max() / sizeof(WideChar);
  for (std::size_t capacity = 64;; capacity *= 2) {
    WideChar* buffer = Allocate(capacity);
    if (buffer == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    BoundedSink sink(buffer, capacity);
    va_list attempt;
    va_copy(attempt, args);
    bool fitted = FormatTo(sink, format, attempt);
    va_end(attempt);
    if (fitted) {
      sink.Finish();
      return buffer;
    }
    delete[] buffer;
    // A capacity whose size in bytes cannot be represented fails like an allocation.
    if (capacity > kMaxCapacity / 2) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
}

WideChar* FormatNew(const WideChar* format, ...) {
  va_list args;
  va_start(args, format);
  WideChar* text = FormatNewV(format, args);
  va_end(args);
  return text;
}
