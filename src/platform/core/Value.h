#pragma once
// One dynamically typed value for JSON documents, property lists and user
// defaults: null, bool, integer (signed or unsigned 64-bit), real, string,
// data, date, array and dictionary. Dictionaries keep their keys in insertion
// order, so a document read and written again keeps its layout.
//
// Reading and writing go through nlohmann-json and libplist; nothing here
// throws.

#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

// Domain and codes of serialisation errors (the codes callers of the original
// platform compare against).
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long kPropertyListReadCorruptError = 3840;
inline constexpr long kPropertyListWriteInvalidError = 3852;

class Value;

// String-keyed map that remembers insertion order. Replacing the value of an
// existing key keeps its position; lookups are logarithmic.
class ValueDictionary {
  public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;
    using iterator = std::vector<Entry>::iterator;

    ValueDictionary();
    ValueDictionary(std::initializer_list<Entry> entries);
    ValueDictionary(const ValueDictionary&);
    ValueDictionary(ValueDictionary&&) noexcept;
    ValueDictionary& operator=(const ValueDictionary&);
    ValueDictionary& operator=(ValueDictionary&&) noexcept;
    ~ValueDictionary();

    size_t size() const;
    bool empty() const;
    bool contains(std::string_view key) const { return index_.find(key) != index_.end(); }

    // The value stored under `key`, or null when there is none.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);

    // Stores `value` under `key`: in place when the key exists, else appended.
    Value& set(std::string key, Value value);
    // The value under `key`, appending a null value first when missing.
    Value& operator[](std::string_view key);
    // Removes `key`; false when it was absent.
    bool erase(std::string_view key);
    void clear();

    std::vector<std::string> keys() const;
    const_iterator begin() const;
    const_iterator end() const;
    iterator begin();
    iterator end();

    // Same keys with equal values; order does not matter.
    bool operator==(const ValueDictionary& other) const;

  private:
    void reindex();

    std::vector<Entry> entries_;
    std::map<std::string, size_t, std::less<>> index_;
};

class Value {
  public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary };
    using Data = std::vector<uint8_t>;
    using Date = std::chrono::system_clock::time_point;
    using Array = std::vector<Value>;
    using Dictionary = ValueDictionary;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T n) {
        if constexpr (std::is_signed_v<T>) {
            v_ = static_cast<int64_t>(n);
        } else {
            setUnsigned(static_cast<uint64_t>(n));
        }
    }
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s ? s : "")) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    static Value array() { return Value(Array{}); }
    static Value dictionary() { return Value(Dictionary{}); }

    Type type() const;
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    // An integer above INT64_MAX (every other integer is held signed).
    bool isUnsignedInteger() const { return std::holds_alternative<uint64_t>(v_); }

    // The stored value when it has exactly that type, else null.
    const bool* ifBool() const { return std::get_if<bool>(&v_); }
    const std::string* ifString() const { return std::get_if<std::string>(&v_); }
    std::string* ifString() { return std::get_if<std::string>(&v_); }
    const Data* ifData() const { return std::get_if<Data>(&v_); }
    Data* ifData() { return std::get_if<Data>(&v_); }
    const Date* ifDate() const { return std::get_if<Date>(&v_); }
    const Array* ifArray() const { return std::get_if<Array>(&v_); }
    Array* ifArray() { return std::get_if<Array>(&v_); }
    const Dictionary* ifDictionary() const { return std::get_if<Dictionary>(&v_); }
    Dictionary* ifDictionary() { return std::get_if<Dictionary>(&v_); }

    // Numbers as a given C++ type: an integer when it fits, a real when it is
    // whole and fits; nothing for every other value.
    std::optional<int64_t> toInt64() const;
    std::optional<uint64_t> toUInt64() const;
    // An integer or a real as a double.
    std::optional<double> toDouble() const;

    // The same with a fallback. boolValue also takes numbers (non-zero is true).
    bool boolValue(bool fallback = false) const;
    int64_t int64Value(int64_t fallback = 0) const { return toInt64().value_or(fallback); }
    uint64_t uint64Value(uint64_t fallback = 0) const { return toUInt64().value_or(fallback); }
    double doubleValue(double fallback = 0) const { return toDouble().value_or(fallback); }
    std::string stringValue(std::string_view fallback = {}) const;

    // Element access that never fails: a shared null value when this is not a
    // dictionary / array or the key / index is absent.
    const Value& operator[](std::string_view key) const;
    const Value& operator[](size_t index) const;
    const Value& operator[](int index) const { return (*this)[static_cast<size_t>(index)]; }
    const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
    // Elements of an array or entries of a dictionary; 0 for anything else.
    size_t size() const;
    bool contains(std::string_view key) const;

    // Building: a null value first becomes an empty dictionary (set) or array
    // (append); on a value of another type these do nothing and return false.
    bool set(std::string key, Value value);
    bool append(Value value);

    // JSON through nlohmann-json. Numbers keep their kind: integers (signed
    // and unsigned 64-bit) stay integers, fractions become reals. Nesting
    // deeper than kMaxDepth is refused.
    static std::optional<Value> fromJSON(std::string_view text, Error* error = nullptr);
    // Data is written as base64 text and dates as ISO 8601 UTC text (JSON
    // has neither); invalid UTF-8 is replaced by U+FFFD.
    std::string toJSON(bool pretty = false) const;

    // Property lists through libplist: XML or binary, detected from the bytes.
    static std::optional<Value> fromPlist(std::span<const uint8_t> bytes, Error* error = nullptr);
    static std::optional<Value> fromPlist(std::string_view bytes, Error* error = nullptr);
    // XML property list. Fails for null values (which property lists cannot
    // hold), strings or keys with NUL bytes and dates outside 1901-2068.
    std::optional<std::string> toPlistXML(Error* error = nullptr) const;

    // Readable one-line text for logs and descriptions.
    std::string description() const;

    // Types must agree (an integer never equals a real); dictionaries compare
    // regardless of key order.
    bool operator==(const Value& other) const;

    static constexpr int kMaxDepth = 512;

  private:
    void setUnsigned(uint64_t n) {
        if (n <= static_cast<uint64_t>(INT64_MAX)) {
            v_ = static_cast<int64_t>(n);
        } else {
            v_ = n;
        }
    }

    std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, Data, Date, Array,
                 Dictionary>
        v_;
};

// Defined once Value is complete: clang instantiates the vector's members
// at their first use inside the class.
inline size_t ValueDictionary::size() const {
    return entries_.size();
}
inline bool ValueDictionary::empty() const {
    return entries_.empty();
}
inline ValueDictionary::const_iterator ValueDictionary::begin() const {
    return entries_.begin();
}
inline ValueDictionary::const_iterator ValueDictionary::end() const {
    return entries_.end();
}
inline ValueDictionary::iterator ValueDictionary::begin() {
    return entries_.begin();
}
inline ValueDictionary::iterator ValueDictionary::end() {
    return entries_.end();
}

}  // namespace platform
