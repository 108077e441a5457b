// An Arrow table's columns read on the pool: plain memory only.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits (here: none).
// Every buffer read here was checked by import_arrow_table; dictionary
// indices are checked here, before they are used.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/arrow_table.hpp"
#include "python/cell_text.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

constexpr std::uint64_t kUnset = ~std::uint64_t{0};

// The double of an IEEE half, bit for bit as NumPy's own conversion makes
// it (the pandas form holds float16 columns as NumPy's float16); written
// out since no C++ type for it is portable yet.
double half_to_double(std::uint16_t h) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    const std::uint32_t exp = h & 0x7c00u;
    std::uint64_t mant = h & 0x03ffu;
    std::uint64_t bits;
    if (exp == 0x7c00u) {  // inf or NaN, its payload kept
        bits = sign | 0x7ff0000000000000ull | (mant << 42);
    } else if (exp != 0) {  // normal
        bits = sign | ((static_cast<std::uint64_t>(exp >> 10) - 15 + 1023) << 52) | (mant << 42);
    } else if (mant == 0) {  // zero
        bits = sign;
    } else {  // subnormal: normalised
        int e = -1;
        do {
            ++e;
            mant <<= 1;
        } while ((mant & 0x400u) == 0);
        bits = sign | (static_cast<std::uint64_t>(1023 - 15 - e) << 52) | ((mant & 0x3ffu) << 42);
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

template <class T>
double value_at(const void* values, std::int64_t j) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(values) + j * static_cast<std::int64_t>(sizeof(T)), sizeof v);
    return static_cast<double>(v);
}

template <class T>
void read_numbers_of(const ArrowChunks& chunks, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            if (!ArrowChunks::valid(a, i)) {
                out[r] = nan;
            } else {
                out[r] = value_at<T>(a.buffers[1], a.offset + i);
            }
        }
    }
}

void read_numbers(const TableColumn& col, double* out) {
    const ArrowChunks& chunks = col.text.chunks;
    switch (col.number) {
        case NumberType::I8: return read_numbers_of<std::int8_t>(chunks, out);
        case NumberType::U8: return read_numbers_of<std::uint8_t>(chunks, out);
        case NumberType::I16: return read_numbers_of<std::int16_t>(chunks, out);
        case NumberType::U16: return read_numbers_of<std::uint16_t>(chunks, out);
        case NumberType::I32: return read_numbers_of<std::int32_t>(chunks, out);
        case NumberType::U32: return read_numbers_of<std::uint32_t>(chunks, out);
        case NumberType::I64: return read_numbers_of<std::int64_t>(chunks, out);
        case NumberType::U64: return read_numbers_of<std::uint64_t>(chunks, out);
        case NumberType::F32: return read_numbers_of<float>(chunks, out);
        case NumberType::F64: return read_numbers_of<double>(chunks, out);
        case NumberType::F16: break;
    }
    // Half floats: read as their bits, converted by half_to_double.
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            if (!ArrowChunks::valid(a, i)) {
                out[r] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            std::uint16_t h;
            std::memcpy(&h, static_cast<const char*>(a.buffers[1]) + 2 * (a.offset + i), 2);
            out[r] = half_to_double(h);
        }
    }
}

bool bit_at(const void* bits, std::int64_t j) noexcept {
    return (static_cast<const std::uint8_t*>(bits)[j >> 3] >> (j & 7)) & 1;
}

// A text read once per distinct value: its entry in the list, made on first use.
std::uint64_t entry(std::uint64_t& slot, std::string_view text, PagedVector<std::string_view>& list) {
    if (slot == kUnset) {
        slot = list.size();
        list.push_back(text);
    }
    return slot;
}

void read_booleans(const TableColumn& col, std::size_t rows, std::uint8_t& is_text, std::size_t& first_text,
                   PagedVector<std::string_view>& list, double* out, std::vector<NumberEntry>* numbers) {
    const ArrowChunks& chunks = col.text.chunks;
    if (chunks.valid_cells() == rows) {
        std::size_t r = 0;
        for (std::size_t k = 0; k != chunks.size(); ++k) {
            const ArrowArray& a = chunks.chunk(k);
            for (std::int64_t i = 0; i < a.length; ++i, ++r) out[r] = bit_at(a.buffers[1], a.offset + i) ? 1.0 : 0.0;
        }
        return;
    }
    // An object column of True, False and None: the bools before the first
    // None are numbers (their text "1", "0"), every cell from it on takes str().
    is_text = 1;
    std::uint64_t one = kUnset, zero = kUnset, none = kUnset, true_text = kUnset, false_text = kUnset;
    bool after = false;
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            std::uint64_t e;
            if (!ArrowChunks::valid(a, i)) {
                if (!after) first_text = r;
                after = true;
                e = entry(none, "None", list);
            } else if (bit_at(a.buffers[1], a.offset + i)) {
                e = after ? entry(true_text, "True", list) : entry(one, "1", list);
            } else {
                e = after ? entry(false_text, "False", list) : entry(zero, "0", list);
            }
            put_label_index(out + r, e);
        }
    }
    if (numbers == nullptr) return;
    const std::pair<std::uint64_t, double> made[] = {{one, 1.0}, {zero, 0.0}, {true_text, 1.0}, {false_text, 0.0}};
    for (const auto& [slot, value] : made)
        if (slot != kUnset) numbers->push_back({slot, value});
}

template <class Index>
bool index_at(const ArrowArray& a, std::int64_t i, std::int64_t dictionary_length, std::int64_t& j) noexcept {
    Index v;
    std::memcpy(&v, static_cast<const char*>(a.buffers[1]) + (a.offset + i) * static_cast<std::int64_t>(sizeof v),
                sizeof v);
    if constexpr (std::is_signed_v<Index>) {
        if (v < 0) return false;
    }
    if (static_cast<std::uint64_t>(v) >= static_cast<std::uint64_t>(dictionary_length)) return false;
    j = static_cast<std::int64_t>(v);
    return true;
}

template <class Index>
void read_dictionary_of(TableColumn& col, std::size_t rows, std::uint8_t& is_text, std::size_t& first_text,
                        PagedVector<std::string_view>& list, double* out) {
    const ArrowChunks& chunks = col.text.chunks;
    // Every dictionary text, used or not, is checked: the pandas form converts
    // them all, and fails on one that is not UTF-8.
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& d = *chunks.chunk(k).dictionary;
        for (std::int64_t j = 0; j < d.length; ++j) {
            if (arrow_valid(d, j) && !is_valid_utf8(arrow_text(d, col.values, j))) {
                col.fault = ColumnFault::NotUtf8;
                return;
            }
        }
    }
    // Each dictionary text enters the list once, when a row first uses it.
    std::vector<std::uint64_t> head;
    std::uint64_t lead_missing = kUnset, trailing_missing = kUnset;
    bool seen = false;
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        const ArrowArray& d = *a.dictionary;
        head.assign(static_cast<std::size_t>(d.length), kUnset);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            std::int64_t j = 0;
            if (ArrowChunks::valid(a, i)) {
                if (!index_at<Index>(a, i, d.length, j)) {
                    col.fault = ColumnFault::IndexOutOfRange;
                    return;
                }
                if (arrow_valid(d, j)) {
                    if (!seen) first_text = r;
                    seen = true;
                    put_label_index(out + r, entry(head[static_cast<std::size_t>(j)], arrow_text(d, col.values, j), list));
                    continue;
                }
            }
            // Missing: the float NaN of the pandas form, "NaN" before the
            // first category and str(nan) after it.
            put_label_index(out + r, seen ? entry(trailing_missing, missing_float_text(true), list)
                                          : entry(lead_missing, missing_float_text(false), list));
        }
    }
    if (seen) {
        is_text = 1;
        return;
    }
    // No category in any row: a column of NaN.
    list.clear();
    std::fill(out, out + rows, std::numeric_limits<double>::quiet_NaN());
}

void read_dictionary(TableColumn& col, std::size_t rows, std::uint8_t& is_text, std::size_t& first_text,
                     PagedVector<std::string_view>& list, double* out) {
    switch (col.number) {
        case NumberType::I8: return read_dictionary_of<std::int8_t>(col, rows, is_text, first_text, list, out);
        case NumberType::U8: return read_dictionary_of<std::uint8_t>(col, rows, is_text, first_text, list, out);
        case NumberType::I16: return read_dictionary_of<std::int16_t>(col, rows, is_text, first_text, list, out);
        case NumberType::U16: return read_dictionary_of<std::uint16_t>(col, rows, is_text, first_text, list, out);
        case NumberType::I32: return read_dictionary_of<std::int32_t>(col, rows, is_text, first_text, list, out);
        case NumberType::U32: return read_dictionary_of<std::uint32_t>(col, rows, is_text, first_text, list, out);
        case NumberType::I64: return read_dictionary_of<std::int64_t>(col, rows, is_text, first_text, list, out);
        case NumberType::U64: return read_dictionary_of<std::uint64_t>(col, rows, is_text, first_text, list, out);
        default: col.fault = ColumnFault::IndexOutOfRange; return;  // the import takes integer indices only
    }
}

}  // namespace

void read_table_column(TableColumn& col, std::size_t rows, std::uint8_t& is_text, std::size_t& first_text,
                       std::uint8_t& plain, PagedVector<std::string_view>& list, double* out,
                       std::vector<NumberEntry>* numbers) {
    switch (col.type) {
        case TableColumnType::Text:
            plain = read_arrow_column(col.text, is_text, first_text, list, out);
            // Each distinct text once: no byte that is not UTF-8 may reach the books.
            if (!std::all_of(list.begin(), list.end(), is_valid_utf8)) col.fault = ColumnFault::NotUtf8;
            return;
        case TableColumnType::Numbers:
            return read_numbers(col, out);
        case TableColumnType::Boolean:
            return read_booleans(col, rows, is_text, first_text, list, out, numbers);
        case TableColumnType::Dictionary:
            return read_dictionary(col, rows, is_text, first_text, list, out);
        case TableColumnType::Null:
            // An object column of None: str(None) in every row.
            if (rows == 0) return;
            is_text = 1;
            first_text = 0;
            list.push_back("None");
            for (std::size_t r = 0; r != rows; ++r) put_label_index(out + r, 0);
            return;
    }
}

}  // namespace brindle
