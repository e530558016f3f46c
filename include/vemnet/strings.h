// Text and bytes across the library's boundary, in layouts that every
// compiler and every C++ library agree on. Hosts pass what they have: L"…",
// wchar_t pointers, or any string object with data() and size()
// (std::wstring, std::wstring_view, std::string, their own classes); no
// standard C++ header is needed for it.
#ifndef VEMNET_STRINGS_H
#define VEMNET_STRINGS_H

#include <stddef.h>
#include <string.h>
#include <wchar.h>

namespace VemNetwork {

namespace detail {
template <class S, class C>
using DataOf = decltype(static_cast<const C*>(static_cast<const S*>(nullptr)->data()));
template <class S>
using SizeOf = decltype(static_cast<size_t>(static_cast<const S*>(nullptr)->size()));
}  // namespace detail

// Wide text handed to the library for the time of one call; the library
// copies what it keeps. A null pointer is the empty text.
class WideStringView {
public:
    WideStringView() : data_(L""), size_(0) {}
    WideStringView(const wchar_t* text) : data_(text ? text : L""), size_(text ? wcslen(text) : 0) {}
    WideStringView(const wchar_t* text, size_t size) : data_(text ? text : L""), size_(text ? size : 0) {}
    template <class S, class = detail::DataOf<S, wchar_t>, class = detail::SizeOf<S>>
    WideStringView(const S& text) : data_(text.data()), size_(text.size()) {}

    const wchar_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool operator==(const WideStringView& other) const {
        return size_ == other.size_ && (size_ == 0 || wmemcmp(data_, other.data_, size_) == 0);
    }
    bool operator!=(const WideStringView& other) const { return !(*this == other); }

private:
    const wchar_t* data_;
    size_t size_;
};

// Bytes handed to the library for the time of one call.
class ByteStringView {
public:
    ByteStringView() : data_(""), size_(0) {}
    ByteStringView(const char* bytes) : data_(bytes ? bytes : ""), size_(bytes ? strlen(bytes) : 0) {}
    ByteStringView(const char* bytes, size_t size) : data_(bytes ? bytes : ""), size_(bytes ? size : 0) {}
    template <class S, class = detail::DataOf<S, char>, class = detail::SizeOf<S>>
    ByteStringView(const S& bytes) : data_(bytes.data()), size_(bytes.size()) {}

    const char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char* data_;
    size_t size_;
};

struct WideStringPair {
    WideStringView key;
    WideStringView value;
};

// Key and value pairs handed to the library for the time of one call: an
// array of WideStringPair, or any map-like container whose elements have
// first and second (std::map<std::wstring, std::wstring>, …). The library
// walks it with ForEach; a container's walk is compiled into the host.
class WideStringMap {
public:
    using Visitor = void (*)(void* context, const WideStringView& key, const WideStringView& value);

    WideStringMap() : source_(nullptr), count_(0), walk_(nullptr) {}
    WideStringMap(const WideStringPair* pairs, size_t count) : source_(pairs), count_(count), walk_(&WalkPairs) {}
    template <class M, class = decltype(static_cast<const M*>(nullptr)->begin()->second)>
    WideStringMap(const M& map) : source_(&map), count_(0), walk_(&WalkContainer<M>) {}

    void ForEach(Visitor visit, void* context) const {
        if (walk_) walk_(this, visit, context);
    }

private:
    using Walk = void (*)(const WideStringMap* self, Visitor visit, void* context);

    static void WalkPairs(const WideStringMap* self, Visitor visit, void* context) {
        const WideStringPair* pairs = static_cast<const WideStringPair*>(self->source_);
        for (size_t i = 0; i < self->count_; ++i) visit(context, pairs[i].key, pairs[i].value);
    }
    template <class M>
    static void WalkContainer(const WideStringMap* self, Visitor visit, void* context) {
        const M& map = *static_cast<const M*>(self->source_);
        for (auto it = map.begin(); it != map.end(); ++it) visit(context, WideStringView(it->first), WideStringView(it->second));
    }

    const void* source_;
    size_t count_;
    Walk walk_;
};

// Wide text kept inside a record the host owns (ProxyInfo): at most Capacity
// characters, no memory of its own, so the record can be made, copied and
// dropped by either side. A longer assignment keeps the first Capacity
// characters and marks the text cut, and the library refuses a record with
// cut text rather than use a wrong name or password.
template <size_t Capacity>
class FixedWideString {
public:
    FixedWideString() : size_(0), cut_(false) { text_[0] = L'\0'; }
    FixedWideString(const WideStringView& text) { Assign(text); }
    FixedWideString& operator=(const WideStringView& text) {
        Assign(text);
        return *this;
    }

    const wchar_t* c_str() const { return text_; }
    const wchar_t* data() const { return text_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool cut() const { return cut_; }
    void clear() { Assign(WideStringView()); }
    operator WideStringView() const { return WideStringView(text_, size_); }
    // Reading back into the host's own string type: std::wstring s = p.host;
    template <class S, class = decltype(S(static_cast<const wchar_t*>(nullptr), size_t(0)))>
    operator S() const {
        return S(text_, size_);
    }
    friend bool operator==(const FixedWideString& a, const FixedWideString& b) {
        return WideStringView(a) == WideStringView(b);
    }
    friend bool operator==(const FixedWideString& a, const WideStringView& b) { return WideStringView(a) == b; }
    friend bool operator==(const WideStringView& a, const FixedWideString& b) { return a == WideStringView(b); }
    friend bool operator!=(const FixedWideString& a, const FixedWideString& b) { return !(a == b); }
    friend bool operator!=(const FixedWideString& a, const WideStringView& b) { return !(a == b); }
    friend bool operator!=(const WideStringView& a, const FixedWideString& b) { return !(a == b); }

private:
    void Assign(const WideStringView& text) {
        size_t n = text.size();
        cut_ = n > Capacity;
        if (cut_) n = Capacity;
        // The source may be this very text.
        wmemmove(text_, text.data(), n);
        text_[n] = L'\0';
        size_ = n;
    }

    wchar_t text_[Capacity + 1];
    size_t size_;
    bool cut_;
};

}  // namespace VemNetwork

#endif
