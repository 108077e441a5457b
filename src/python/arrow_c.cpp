#include "python/arrow_c.hpp"

#include <bit>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "python/errors.hpp"

namespace brindle {
namespace {


PyError stream_error(ArrowArrayStream& stream, int code) {
    const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    std::string text = "reading an Arrow stream failed with code " + std::to_string(code);
    if (message != nullptr) text += std::string(": ") + message;
    return make_error(PyExc_RuntimeError, text);
}

// The nulls among bits [offset, offset + length) of a bitmap, reading only
// the bytes that hold those bits.
std::int64_t count_nulls(const std::uint8_t* bits, std::int64_t offset, std::int64_t length) noexcept {
    const std::int64_t end = offset + length;
    std::int64_t set = 0;
    std::int64_t i = offset;
    for (; i < end && (i & 7) != 0; ++i) set += (bits[i >> 3] >> (i & 7)) & 1;
    for (; end - i >= 64; i += 64) {
        std::uint64_t word;
        std::memcpy(&word, bits + (i >> 3), 8);
        set += std::popcount(word);
    }
    for (; end - i >= 8; i += 8) set += std::popcount(static_cast<unsigned>(bits[i >> 3]));
    for (; i < end; ++i) set += (bits[i >> 3] >> (i & 7)) & 1;
    return length - set;
}

// Offsets [from, from + length] start at 0 or above and never go down, so
// that each element lies between the first offset and the last, which the
// producer has checked against the data buffer.
template <class Offset>
bool offsets_sound(const void* o, std::int64_t from, std::int64_t length) noexcept {
    if (arrow_load<Offset>(o, from) < 0) return false;
    bool down = false;  // no early exit: the loop vectorises
    for (std::int64_t j = from; j < from + length; ++j) down |= arrow_load<Offset>(o, j + 1) < arrow_load<Offset>(o, j);
    return !down;
}

}  // namespace

ArrowChunks::ArrowChunks(ArrowChunks&& other) noexcept
    : layout_(other.layout_),
      chunks_(std::exchange(other.chunks_, {})),
      valid_cells_(std::exchange(other.valid_cells_, 0)) {}

ArrowChunks& ArrowChunks::operator=(ArrowChunks&& other) noexcept {
    if (this != &other) {
        release();
        layout_ = other.layout_;
        chunks_ = std::exchange(other.chunks_, {});
        valid_cells_ = std::exchange(other.valid_cells_, 0);
    }
    return *this;
}

ArrowChunks::~ArrowChunks() { release(); }

void ArrowChunks::release() noexcept {
    for (ArrowArray* a : chunks_) {
        if (a->release != nullptr) a->release(a);
        delete a;
    }
    chunks_.clear();
    valid_cells_ = 0;
}

std::size_t ArrowChunks::length() const noexcept {
    std::size_t n = 0;
    for (const ArrowArray* a : chunks_) n += static_cast<std::size_t>(a->length);
    return n;
}

void ArrowChunks::adopt(std::unique_ptr<ArrowArray> chunk) {
    // Released here if making room fails, owned by this once it is kept.
    struct Guard {
        std::unique_ptr<ArrowArray>& chunk;
        ~Guard() {
            if (chunk && chunk->release != nullptr) chunk->release(chunk.get());
        }
    } guard{chunk};
    chunks_.reserve(chunks_.size() + 1);
    valid_cells_ += static_cast<std::size_t>(chunk->length - chunk->null_count);
    chunks_.push_back(chunk.release());
}

namespace {

// Makes the array's null count its bitmap's; true when the producer's count
// was another.
bool miscounted(ArrowArray& a) noexcept {
    std::int64_t nulls = 0;
    if (a.buffers[0] != nullptr)
        nulls = count_nulls(static_cast<const std::uint8_t*>(a.buffers[0]), a.offset, a.length);
    // -1: not counted by the producer.
    const bool wrong = a.null_count != -1 && a.null_count != nulls && a.length != 0;
    a.null_count = nulls;
    return wrong;
}

bool extent_sound(const ArrowArray& a) noexcept {
    return a.length >= 0 && a.offset >= 0 && a.length <= INT64_MAX - 1 - a.offset;
}

// Whether the buffers hold what the layout says, the bitmap read as it is.
ArrowCheck text_sound(ArrowArray& a, ArrowText layout) noexcept {
    constexpr ArrowCheck lies = ArrowCheck::Unsound;
    if (!extent_sound(a)) return lies;
    if (a.n_children != 0 || a.buffers == nullptr) return lies;
    // Validity, offsets and data; views: validity, views, data buffers, sizes.
    if (layout != ArrowText::StringView ? a.n_buffers != 3 : a.n_buffers < 3) return lies;
    if (a.length == 0) return ArrowCheck::Sound;
    if (a.buffers[1] == nullptr) return lies;
    if (layout != ArrowText::StringView) {
        bool fits;
        const void* o = a.buffers[1];
        // No data buffer: only right when every string is empty.
        if (layout == ArrowText::String) {
            fits = offsets_sound<std::int32_t>(o, a.offset, a.length) &&
                   (a.buffers[2] != nullptr || arrow_load<std::int32_t>(o, a.offset + a.length) == 0);
        } else {
            fits = offsets_sound<std::int64_t>(o, a.offset, a.length) &&
                   (a.buffers[2] != nullptr || arrow_load<std::int64_t>(o, a.offset + a.length) == 0);
        }
        return fits ? ArrowCheck::Sound : lies;
    }
    // A view only counts where the bitmap says it holds a value.
    const bool has_bitmap = a.buffers[0] != nullptr;
    const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
    const std::int64_t data_buffers = a.n_buffers - 3;
    const void* sizes = a.buffers[a.n_buffers - 1];
    for (std::int64_t i = 0; i < a.length; ++i) {
        const std::int64_t bit = a.offset + i;
        if (has_bitmap && ((bits[bit >> 3] >> (bit & 7)) & 1) == 0) continue;
        const char* view = static_cast<const char*>(a.buffers[1]) + 16 * (a.offset + i);
        std::int32_t length, buffer, offset;
        std::memcpy(&length, view, 4);
        if (length < 0) return lies;
        if (length <= 12) continue;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || buffer >= data_buffers || offset < 0 || sizes == nullptr ||
            a.buffers[2 + buffer] == nullptr || offset + static_cast<std::int64_t>(length) > arrow_load<std::int64_t>(sizes, buffer))
            return lies;
    }
    return ArrowCheck::Sound;
}

}  // namespace

ArrowCheck check_text_array(ArrowArray& a, ArrowText layout) noexcept {
    const ArrowCheck verdict = text_sound(a, layout);
    return verdict == ArrowCheck::Sound && miscounted(a) ? ArrowCheck::Miscounted : verdict;
}

ArrowCheck check_fixed_array(ArrowArray& a) noexcept {
    if (!extent_sound(a) || a.n_children != 0 || a.n_buffers != 2 || a.buffers == nullptr) return ArrowCheck::Unsound;
    if (a.length != 0 && a.buffers[1] == nullptr) return ArrowCheck::Unsound;
    return miscounted(a) ? ArrowCheck::Miscounted : ArrowCheck::Sound;
}

Result<ArrowImport> ArrowChunks::import(PyObject* capsule) {
    release();
    auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    BRINDLE_FAIL_IF(given == nullptr);
    if (given->release == nullptr) return make_error(PyExc_ValueError, "the Arrow stream was already consumed");
    // Moved out: the capsule's destructor skips a released stream.
    StreamOwner owner;
    owner.stream = *given;
    given->release = nullptr;
    ArrowArrayStream& stream = owner.stream;

    SchemaOwner schema;
    if (const int rc = stream.get_schema(&stream, &schema.schema); rc != 0) return stream_error(stream, rc);
    const std::string_view format = schema.schema.format != nullptr ? schema.schema.format : "";
    if (format == "u") {
        layout_ = ArrowText::String;
    } else if (format == "U") {
        layout_ = ArrowText::LargeString;
    } else if (format == "vu") {
        layout_ = ArrowText::StringView;
    } else {
        return ArrowImport::Other;
    }
    if (schema.schema.dictionary != nullptr || schema.schema.n_children != 0) return ArrowImport::Other;

    // Every chunk is checked, even after a miscounted one: a later one may
    // lie about its offsets, which `values` must not meet either.
    bool any_miscounted = false;
    for (;;) {
        chunks_.reserve(chunks_.size() + 1);  // so that keeping a chunk cannot fail
        auto next = std::make_unique<ArrowArray>();
        std::memset(next.get(), 0, sizeof(ArrowArray));
        if (const int rc = stream.get_next(&stream, next.get()); rc != 0) {
            release();
            return stream_error(stream, rc);
        }
        if (next->release == nullptr) break;  // the end of the stream
        chunks_.push_back(next.get());
        ArrowArray* a = next.release();
        const ArrowCheck verdict = check_text_array(*a, layout_);
        if (verdict == ArrowCheck::Unsound) {
            release();
            return internal_failure(
                "an Arrow string array's offsets or views contradict its own buffers "
                "(pyarrow's full validation rejects it); nothing may read it");
        }
        any_miscounted = any_miscounted || verdict == ArrowCheck::Miscounted;
        valid_cells_ += static_cast<std::size_t>(a->length - a->null_count);
    }
    if (any_miscounted) {
        release();
        return ArrowImport::Miscounted;
    }
    return ArrowImport::Read;
}

}  // namespace brindle
