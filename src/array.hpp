// The flat arrays an index is made of, whether the index built them or maps
// them from a file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "fault.hpp"

namespace quellnor {

// A read-mostly array that either owns its elements or views memory that
// someone else keeps alive (an index file's mapping, held by the index). The
// walks read both alike through data(), size() and operator[], so one
// compiled walk serves a built index and a mapped one.
//
// Only an owning array grows: construction code fills it through resize(),
// push_back() and the mutable operator[], each of which keeps the view in
// step with the vector beneath. A viewing array is never written.
template <class T, class Alloc = std::allocator<T>>
class Array {
public:
    using value_type = T;
    using Vector = std::vector<T, Alloc>;

    Array() = default;
    Array(Vector owned) : owned_(std::move(owned)) { follow_owned(); }
    Array(std::initializer_list<T> values) : owned_(values) { follow_owned(); }

    // An array over `size` elements at `data`, which must outlive it.
    static Array viewing(const T* data, std::size_t size) {
        Array array;
        array.viewing_ = true;
        array.data_ = data;
        array.size_ = size;
        return array;
    }

    Array(const Array& other) : owned_(other.owned_), viewing_(other.viewing_) {
        adopt_view_of(other);
    }
    Array(Array&& other) noexcept : owned_(std::move(other.owned_)), viewing_(other.viewing_) {
        adopt_view_of(other);
        other.forget();
    }
    Array& operator=(const Array& other) {
        if (this != &other) *this = Array(other);
        return *this;
    }
    Array& operator=(Array&& other) noexcept {
        if (this == &other) return *this;
        owned_ = std::move(other.owned_);
        viewing_ = other.viewing_;
        adopt_view_of(other);
        other.forget();
        return *this;
    }

    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& operator[](std::size_t i) { return const_cast<T&>(data_[i]); }
    const T& back() const { return data_[size_ - 1]; }
    operator std::span<const T>() const { return {data_, size_}; }
    const T& at(std::size_t i) const { return checked_at(*this, i); }
    // A copy that owns its elements, for code that takes vectors.
    std::vector<T> to_vector() const { return {begin(), end()}; }

    // Whether the elements live elsewhere (a mapping) rather than in the array.
    bool is_view() const { return viewing_; }

    // Construction only, on an owning array.
    T* data() { return const_cast<T*>(data_); }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    void resize(std::size_t n) { edit().resize(n), follow_owned(); }
    void reserve(std::size_t n) { edit().reserve(n), follow_owned(); }
    void push_back(const T& value) { edit().push_back(value), follow_owned(); }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        edit().emplace_back(std::forward<Args>(args)...);
        follow_owned();
        return owned_.back();
    }
    void clear() { edit().clear(), follow_owned(); }
    void assign(std::size_t n, const T& value) { edit().assign(n, value), follow_owned(); }
    template <class Iterator>
    void append(Iterator first, Iterator last) {
        edit().insert(owned_.end(), first, last);
        follow_owned();
    }

    bool operator==(const Array& other) const {
        return std::equal(begin(), end(), other.begin(), other.end());
    }

private:
    Vector& edit() {
        if (viewing_) throw Fault("a mapped array cannot change");
        return owned_;
    }
    void follow_owned() {
        data_ = owned_.data();
        size_ = owned_.size();
    }
    void adopt_view_of(const Array& other) {
        if (viewing_) {
            data_ = other.data_;
            size_ = other.size_;
        } else {
            follow_owned();
        }
    }
    void forget() {
        owned_ = Vector();
        viewing_ = false;
        follow_owned();
    }

    Vector owned_;
    bool viewing_ = false;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quellnor
