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
#include <memory>
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

// Own a struct moved in from a producer until it is released. Release runs
// the producer's code: on the calling thread, holding the GIL.
struct SchemaOwner {
    ArrowSchema schema{};
    ~SchemaOwner() {
        if (schema.release != nullptr) schema.release(&schema);
    }
};

struct StreamOwner {
    ArrowArrayStream stream{};
    ~StreamOwner() {
        if (stream.release != nullptr) stream.release(&stream);
    }
};

struct BatchOwner {
    ArrowArray batch{};
    ~BatchOwner() {
        if (batch.release != nullptr) batch.release(&batch);
    }
};

// The string layouts read: 32-bit offsets, 64-bit offsets, views.
enum class ArrowText { String, LargeString, StringView };

// What an import found: chunks to read; a stream of some other type (read
// the column some other way); or chunks whose null counts disagree with
// their bitmaps, which pandas' own conversion reads its own way (so it, not
// this, decides what such a column is).
enum class ArrowImport { Read, Other, Miscounted };

// What a check of one array found: buffers that hold what its layout says;
// the same with a null count other than its bitmap's; or buffers that lie.
enum class ArrowCheck { Sound, Miscounted, Unsound };

// Checks a string array of `layout` as ArrowChunks::import does, and makes
// its null count the bitmap's.
ArrowCheck check_text_array(ArrowArray& a, ArrowText layout) noexcept;

// Checks an array of a validity bitmap and one buffer of fixed-width values
// (numbers, booleans, dictionary indices) and makes its null count the
// bitmap's. As for text, the C interface gives no buffer sizes: the producer
// is trusted to have made the values buffer as long as length and offset say.
ArrowCheck check_fixed_array(ArrowArray& a) noexcept;

// Whether element i of an array with a checked null count holds a value.
inline bool arrow_valid(const ArrowArray& a, std::int64_t i) noexcept {
    if (a.null_count == 0 || a.buffers[0] == nullptr) return true;
    const std::int64_t bit = a.offset + i;
    return (static_cast<const std::uint8_t*>(a.buffers[0])[bit >> 3] >> (bit & 7)) & 1;
}

// Element i of a buffer of T. Arrow buffers need not be aligned: one that
// arrives through pickle (a Dask partition sent between workers) may start
// anywhere in its message.
template <class T>
inline T arrow_load(const void* buffer, std::int64_t i) noexcept {
    T value;
    std::memcpy(&value, static_cast<const char*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)), sizeof value);
    return value;
}

// The bytes of valid element i of a checked string array of `layout`.
inline std::string_view arrow_text(const ArrowArray& a, ArrowText layout, std::int64_t i) noexcept {
    const std::int64_t j = a.offset + i;
    switch (layout) {
        case ArrowText::String: {
            const auto start = arrow_load<std::int32_t>(a.buffers[1], j);
            return {static_cast<const char*>(a.buffers[2]) + start,
                    static_cast<std::size_t>(arrow_load<std::int32_t>(a.buffers[1], j + 1) - start)};
        }
        case ArrowText::LargeString: {
            const auto start = arrow_load<std::int64_t>(a.buffers[1], j);
            return {static_cast<const char*>(a.buffers[2]) + start,
                    static_cast<std::size_t>(arrow_load<std::int64_t>(a.buffers[1], j + 1) - start)};
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

    // Imports every chunk of the stream in `capsule` and checks everything
    // that text() and valid() rely on, reading only within each chunk's
    // offset and length: offsets non-negative and non-decreasing, views
    // within their buffers, the null count equal to the bitmap's. pyarrow
    // checks only an array's first and last offset, so a user can hold a
    // column that passes it and lies. Read only with every chunk sound;
    // Other and Miscounted keep nothing. An error for a failing stream, and
    // the internal failure for offsets or views that lie: pyarrow's own
    // conversion, which `values` makes, reads past the buffers on them and
    // may abort the process, so nothing may be left to read them.
    //
    // What it cannot check: the C interface gives no buffer sizes, so the
    // producer's own check that the last offset, the bitmap and the views fit
    // their buffers is trusted; every read stays within what those promise.
    Result<ArrowImport> import(PyObject* capsule);

    std::size_t size() const noexcept { return chunks_.size(); }
    const ArrowArray& chunk(std::size_t i) const noexcept { return *chunks_[i]; }
    std::size_t length() const noexcept;
    // The elements holding a value, counted in the bitmaps.
    std::size_t valid_cells() const noexcept { return valid_cells_; }

    // Whether element i of a chunk holds a value (import has made each
    // chunk's null count its bitmap's).
    static bool valid(const ArrowArray& a, std::int64_t i) noexcept { return arrow_valid(a, i); }
    // The bytes of valid element i of a chunk.
    std::string_view text(const ArrowArray& a, std::int64_t i) const noexcept { return arrow_text(a, layout_, i); }

    // For chunks moved out of a table's batches: empties this and sets the
    // layout the chunks taken next have.
    void start(ArrowText layout) noexcept {
        release();
        layout_ = layout;
    }
    // Takes a chunk that its caller has checked (its null count the
    // bitmap's), to release it with the rest. Room is made first, so the
    // chunk is owned even when that fails.
    void adopt(std::unique_ptr<ArrowArray> chunk);

private:
    void release() noexcept;

    ArrowText layout_ = ArrowText::String;
    std::vector<ArrowArray*> chunks_;  // owned, each released and freed once
    std::size_t valid_cells_ = 0;
};

}  // namespace brindle
