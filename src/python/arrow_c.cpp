#include "python/arrow_c.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "python/errors.hpp"

namespace brindle {
namespace {

// Owns a moved-in struct until released.
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

PyError stream_error(ArrowArrayStream& stream, int code) {
    const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    std::string text = "reading an Arrow stream failed with code " + std::to_string(code);
    if (message != nullptr) text += std::string(": ") + message;
    return make_error(PyExc_RuntimeError, text);
}

}  // namespace

ArrowChunks::ArrowChunks(ArrowChunks&& other) noexcept
    : layout_(other.layout_), chunks_(std::exchange(other.chunks_, {})) {}

ArrowChunks& ArrowChunks::operator=(ArrowChunks&& other) noexcept {
    if (this != &other) {
        release();
        layout_ = other.layout_;
        chunks_ = std::exchange(other.chunks_, {});
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
}

std::size_t ArrowChunks::length() const noexcept {
    std::size_t n = 0;
    for (const ArrowArray* a : chunks_) n += static_cast<std::size_t>(a->length);
    return n;
}

bool ArrowChunks::check(const ArrowArray& a) const noexcept {
    if (a.length < 0 || a.offset < 0 || a.n_children != 0 || a.buffers == nullptr) return false;
    if (a.null_count != 0 && a.buffers[0] == nullptr && a.length != 0) return false;
    if (a.length == 0) return true;
    if (layout_ != ArrowText::StringView) {
        return a.n_buffers == 3 && a.buffers[1] != nullptr && (a.buffers[2] != nullptr || [&] {
                   // No data buffer: only right when every string is empty.
                   if (layout_ == ArrowText::String) {
                       const auto* o = static_cast<const std::int32_t*>(a.buffers[1]);
                       return o[a.offset] == o[a.offset + a.length];
                   }
                   const auto* o = static_cast<const std::int64_t*>(a.buffers[1]);
                   return o[a.offset] == o[a.offset + a.length];
               }());
    }
    // Views: validity, views, the data buffers, then their sizes.
    if (a.n_buffers < 3 || a.buffers[1] == nullptr) return false;
    const std::int64_t data_buffers = a.n_buffers - 3;
    const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
    for (std::int64_t i = 0; i < a.length; ++i) {
        if (!valid(a, i)) continue;
        const char* view = static_cast<const char*>(a.buffers[1]) + 16 * (a.offset + i);
        std::int32_t length, buffer, offset;
        std::memcpy(&length, view, 4);
        if (length < 0) return false;
        if (length <= 12) continue;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || buffer >= data_buffers || offset < 0 || sizes == nullptr ||
            a.buffers[2 + buffer] == nullptr || offset + static_cast<std::int64_t>(length) > sizes[buffer])
            return false;
    }
    return true;
}

Result<bool> ArrowChunks::import(PyObject* capsule) {
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
        return false;
    }
    if (schema.schema.dictionary != nullptr || schema.schema.n_children != 0) return false;

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
        if (!check(*a)) {
            release();
            return false;
        }
    }
    return true;
}

}  // namespace brindle
