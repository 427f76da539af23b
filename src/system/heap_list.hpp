// A list of plain values that grows from malloc as far as it is filled: no capacity to exceed,
// and no C++ runtime. Where memory runs out the item is not added, and the list says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <typename T> class HeapList {
    static_assert(std::is_trivially_copyable_v<T>);
    // NOLINTNEXTLINE(bugprone-sizeof-expression): a list of pointers holds pointers
    static constexpr std::size_t item_size = sizeof(T);

  public:
    HeapList() = default;
    ~HeapList() { std::free(items_); }
    HeapList(HeapList &&other) noexcept { take(other); }
    HeapList &operator=(HeapList &&other) noexcept {
        if (this != &other) {
            std::free(items_);
            take(other);
        }
        return *this;
    }
    HeapList(const HeapList &) = delete;
    HeapList &operator=(const HeapList &) = delete;

    bool add(const T &item) {
        if (count_ == capacity_ && !grow()) {
            short_of_memory_ = true;
            return false;
        }
        std::memcpy(static_cast<void *>(items_ + count_++), &item, item_size);
        return true;
    }
    bool add(const T *items, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            if (!add(items[k])) {
                return false;
            }
        }
        return true;
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    T &operator[](std::size_t k) { return items_[k]; }
    const T &operator[](std::size_t k) const { return items_[k]; }
    T *begin() { return items_; }
    T *end() { return items_ + count_; }
    const T *begin() const { return items_; }
    const T *end() const { return items_ + count_; }
    bool short_of_memory() const { return short_of_memory_; }

  private:
    bool grow() {
        const std::size_t larger = capacity_ == 0 ? 4 : 2 * capacity_;
        void *const grown = larger <= SIZE_MAX / item_size
                                ? std::realloc(static_cast<void *>(items_), larger * item_size)
                                : nullptr;
        if (grown == nullptr) {
            return false;
        }
        items_ = static_cast<T *>(grown);
        capacity_ = larger;
        return true;
    }
    void take(HeapList &other) {
        items_ = other.items_;
        count_ = other.count_;
        capacity_ = other.capacity_;
        short_of_memory_ = other.short_of_memory_;
        other.items_ = nullptr;
        other.count_ = other.capacity_ = 0;
    }

    T *items_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
    bool short_of_memory_ = false;
};

// A path's worth of characters from malloc, so that no stack frame holds PATH_MAX bytes. Empty
// (data() null) where memory ran out.
class PathText {
  public:
    PathText() : text_(static_cast<char *>(std::calloc(size, 1))) {}
    ~PathText() { std::free(text_); }
    PathText(const PathText &) = delete;
    PathText &operator=(const PathText &) = delete;
    static constexpr std::size_t size = 4096; // PATH_MAX
    char *data() { return text_; }
    const char *data() const { return text_; }
    bool valid() const { return text_ != nullptr; }

  private:
    char *text_;
};
