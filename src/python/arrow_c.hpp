// The Arrow C data and stream interfaces, as far as reading string columns
// takes them, and an owner for the chunks imported from a stream capsule.
//
// Written out here rather than taken from a library: the structs are a small
// ABI that Arrow declares stable and asks consumers to copy, and the only
// maintained C library for them would add a build dependency for a few
// dozen lines.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "python/pyref.hpp"

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
}
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
extern "C" {
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
}
#endif

namespace brindle {

// The string layouts read: 32-bit offsets, 64-bit offsets, views.
enum class ArrowText { String, LargeString, StringView };

// The chunks of one string column, imported from an "arrow_array_stream"
// capsule and released exactly once, when this is destroyed. Their buffers
// are plain memory: any thread may read them while this lives. Release runs
// the producer's code, which may need the interpreter: destroy on the
// calling thread, holding the GIL.
class ArrowChunks {
public:
    ArrowChunks() = default;
    ArrowChunks(const ArrowChunks&) = delete;
    ArrowChunks& operator=(const ArrowChunks&) = delete;
    ArrowChunks(ArrowChunks&& other) noexcept;
    ArrowChunks& operator=(ArrowChunks&& other) noexcept;
    ~ArrowChunks();

    // Imports every chunk of the stream in `capsule`. False, with nothing
    // set, when the stream is not a string column of a layout read here or
    // its chunks disagree with their own sizes (the caller reads the column
    // some other way); an error for a failing stream.
    Result<bool> import(PyObject* capsule);

    ArrowText layout() const noexcept { return layout_; }
    std::size_t size() const noexcept { return chunks_.size(); }
    const ArrowArray& chunk(std::size_t i) const noexcept { return *chunks_[i]; }
    std::size_t length() const noexcept;

    // Whether element i of a chunk holds a value.
    static bool valid(const ArrowArray& a, std::int64_t i) noexcept {
        if (a.null_count == 0 || a.buffers[0] == nullptr) return true;
        const std::int64_t bit = a.offset + i;
        return (static_cast<const std::uint8_t*>(a.buffers[0])[bit >> 3] >> (bit & 7)) & 1;
    }
    // The bytes of valid element i of a chunk.
    std::string_view text(const ArrowArray& a, std::int64_t i) const noexcept {
        const std::int64_t j = a.offset + i;
        switch (layout_) {
            case ArrowText::String: {
                const auto* offsets = static_cast<const std::int32_t*>(a.buffers[1]);
                return {static_cast<const char*>(a.buffers[2]) + offsets[j],
                        static_cast<std::size_t>(offsets[j + 1] - offsets[j])};
            }
            case ArrowText::LargeString: {
                const auto* offsets = static_cast<const std::int64_t*>(a.buffers[1]);
                return {static_cast<const char*>(a.buffers[2]) + offsets[j],
                        static_cast<std::size_t>(offsets[j + 1] - offsets[j])};
            }
            case ArrowText::StringView: {
                // 16 bytes: length, then either the bytes inline (up to 12)
                // or a prefix, a buffer index and an offset.
                const char* view = static_cast<const char*>(a.buffers[1]) + 16 * j;
                std::int32_t length;
                std::memcpy(&length, view, 4);
                if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
                std::int32_t buffer, offset;
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                return {static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length)};
            }
        }
        return {};
    }

private:
    bool check(const ArrowArray& a) const noexcept;
    void release() noexcept;

    ArrowText layout_ = ArrowText::String;
    std::vector<ArrowArray*> chunks_;  // owned, each released and freed once
};

}  // namespace brindle
