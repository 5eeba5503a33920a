#include "platform/core/Value.h"

#include <plist/plist.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

namespace platform {

// ---- ValueDictionary --------------------------------------------------------

ValueDictionary::ValueDictionary() = default;
ValueDictionary::ValueDictionary(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
}
ValueDictionary::ValueDictionary(const ValueDictionary&) = default;
ValueDictionary::ValueDictionary(ValueDictionary&&) noexcept = default;
ValueDictionary& ValueDictionary::operator=(const ValueDictionary&) = default;
ValueDictionary& ValueDictionary::operator=(ValueDictionary&&) noexcept = default;
ValueDictionary::~ValueDictionary() = default;

const Value* ValueDictionary::find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
}

Value* ValueDictionary::find(std::string_view key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
}

Value& ValueDictionary::set(std::string key, Value value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
        Value& slot = entries_[it->second].second;
        slot = std::move(value);
        return slot;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
    return entries_.back().second;
}

Value& ValueDictionary::operator[](std::string_view key) {
    if (Value* v = find(key)) return *v;
    return set(std::string(key), Value());
}

bool ValueDictionary::erase(std::string_view key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(it->second));
    reindex();
    return true;
}

void ValueDictionary::clear() {
    entries_.clear();
    index_.clear();
}

void ValueDictionary::reindex() {
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

std::vector<std::string> ValueDictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.first);
    return out;
}

bool ValueDictionary::operator==(const ValueDictionary& other) const {
    if (size() != other.size()) return false;
    for (const auto& [key, value] : entries_) {
        const Value* o = other.find(key);
        if (!o || !(*o == value)) return false;
    }
    return true;
}

// ---- Value: access ----------------------------------------------------------

namespace {

const Value& nullValue() {
    static const Value null;
    return null;
}

}  // namespace

Value::Type Value::type() const {
    switch (v_.index()) {
        case 0:
            return Type::Null;
        case 1:
            return Type::Bool;
        case 2:
        case 3:
            return Type::Integer;
        case 4:
            return Type::Real;
        case 5:
            return Type::String;
        case 6:
            return Type::Data;
        case 7:
            return Type::Date;
        case 8:
            return Type::Array;
        default:
            return Type::Dictionary;
    }
}

std::optional<int64_t> Value::toInt64() const {
    if (auto* i = std::get_if<int64_t>(&v_)) return *i;
    if (auto* d = std::get_if<double>(&v_)) {
        // 2^63 is exactly representable; anything below it and whole fits.
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
            *d < 9223372036854775808.0) {
            return static_cast<int64_t>(*d);
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> Value::toUInt64() const {
    if (auto* u = std::get_if<uint64_t>(&v_)) return *u;
    if (auto* i = std::get_if<int64_t>(&v_)) {
        if (*i >= 0) return static_cast<uint64_t>(*i);
        return std::nullopt;
    }
    if (auto* d = std::get_if<double>(&v_)) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= 0 && *d < 18446744073709551616.0) {
            return static_cast<uint64_t>(*d);
        }
    }
    return std::nullopt;
}

std::optional<double> Value::toDouble() const {
    if (auto* i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
    if (auto* u = std::get_if<uint64_t>(&v_)) return static_cast<double>(*u);
    if (auto* d = std::get_if<double>(&v_)) return *d;
    return std::nullopt;
}

bool Value::boolValue(bool fallback) const {
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    if (auto d = toDouble()) return *d != 0;
    return fallback;
}

std::string Value::stringValue(std::string_view fallback) const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    return std::string(fallback);
}

const Value& Value::operator[](std::string_view key) const {
    if (auto* d = ifDictionary()) {
        if (const Value* v = d->find(key)) return *v;
    }
    return nullValue();
}

const Value& Value::operator[](size_t index) const {
    if (auto* a = ifArray()) {
        if (index < a->size()) return (*a)[index];
    }
    return nullValue();
}

size_t Value::size() const {
    if (auto* a = ifArray()) return a->size();
    if (auto* d = ifDictionary()) return d->size();
    return 0;
}

bool Value::contains(std::string_view key) const {
    auto* d = ifDictionary();
    return d && d->contains(key);
}

bool Value::set(std::string key, Value value) {
    if (isNull()) v_ = Dictionary{};
    auto* d = ifDictionary();
    if (!d) return false;
    d->set(std::move(key), std::move(value));
    return true;
}

bool Value::append(Value value) {
    if (isNull()) v_ = Array{};
    auto* a = ifArray();
    if (!a) return false;
    a->push_back(std::move(value));
    return true;
}

bool Value::operator==(const Value& other) const {
    return v_ == other.v_;
}

// ---- JSON -------------------------------------------------------------------

namespace {

using Json = nlohmann::ordered_json;

// Builds a Value straight from the parser's events, so numbers keep their
// signed or unsigned kind and duplicate keys keep the last value.
class JsonBuilder : public nlohmann::json_sax<Json> {
  public:
    bool null() override { return put(Value()); }
    bool boolean(bool b) override { return put(Value(b)); }
    bool number_integer(number_integer_t n) override { return put(Value(n)); }
    bool number_unsigned(number_unsigned_t n) override { return put(Value(n)); }
    bool number_float(number_float_t d, const string_t&) override { return put(Value(d)); }
    bool string(string_t& s) override { return put(Value(std::move(s))); }
    bool binary(binary_t& b) override { return put(Value(Value::Data(b.begin(), b.end()))); }

    bool start_object(std::size_t) override { return open(Value::dictionary()); }
    bool key(string_t& k) override {
        key_ = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Value::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        message_ = ex.what();
        return false;
    }

    std::optional<Value> result() {
        return done_ ? std::optional<Value>(std::move(root_)) : std::nullopt;
    }
    const std::string& message() const { return message_; }
    bool tooDeep() const { return tooDeep_; }

  private:
    // Containers under construction; each keeps the key it will be stored
    // under in its parent.
    struct Frame {
        Value value;
        std::string key;
    };

    bool put(Value v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            done_ = true;
            return true;
        }
        Value& top = stack_.back().value;
        if (top.isArray()) {
            top.append(std::move(v));
        } else {
            top.set(std::move(key_), std::move(v));
        }
        return true;
    }
    bool open(Value container) {
        if (stack_.size() >= static_cast<size_t>(Value::kMaxDepth)) {
            tooDeep_ = true;
            message_ = "nesting too deep";
            return false;
        }
        stack_.push_back(Frame{std::move(container), std::move(key_)});
        return true;
    }
    bool close() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        key_ = std::move(f.key);
        return put(std::move(f.value));
    }

    std::vector<Frame> stack_;
    std::string key_;
    Value root_;
    bool done_ = false;
    bool tooDeep_ = false;
    std::string message_;
};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const Value::Data& d) {
    std::string out;
    out.reserve((d.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < d.size(); i += 3) {
        uint32_t n = (d[i] << 16) | (d[i + 1] << 8) | d[i + 2];
        out += kBase64[n >> 18];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += kBase64[n & 63];
    }
    if (i + 1 == d.size()) {
        uint32_t n = d[i] << 16;
        out += kBase64[n >> 18];
        out += kBase64[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == d.size()) {
        uint32_t n = (d[i] << 16) | (d[i + 1] << 8);
        out += kBase64[n >> 18];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string isoDate(Value::Date date) {
    using namespace std::chrono;
    auto secs = floor<seconds>(date);
    auto micros = duration_cast<microseconds>(date - secs).count();
    std::time_t t = static_cast<std::time_t>(secs.time_since_epoch().count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out(buf, n);
    if (micros) {
        char frac[32];
        std::snprintf(frac, sizeof frac, ".%06lld", static_cast<long long>(micros));
        out += frac;
    }
    return out + "Z";
}

Json toJson(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null:
            return Json();
        case Value::Type::Bool:
            return Json(*v.ifBool());
        case Value::Type::Integer:
            if (v.isUnsignedInteger()) return Json(*v.toUInt64());
            return Json(*v.toInt64());
        case Value::Type::Real:
            return Json(*v.toDouble());
        case Value::Type::String:
            return Json(*v.ifString());
        case Value::Type::Data:
            return Json(base64(*v.ifData()));
        case Value::Type::Date:
            return Json(isoDate(*v.ifDate()));
        case Value::Type::Array: {
            Json a = Json::array();
            for (const auto& e : *v.ifArray()) a.push_back(toJson(e));
            return a;
        }
        case Value::Type::Dictionary: {
            Json o = Json::object();
            for (const auto& [k, e] : *v.ifDictionary()) o[k] = toJson(e);
            return o;
        }
    }
    return Json();
}

}  // namespace

std::optional<Value> Value::fromJSON(std::string_view text, Error* error) {
    JsonBuilder builder;
    bool ok = false;
    try {
        ok = Json::sax_parse(text.begin(), text.end(), &builder);
    } catch (const std::exception&) {
        ok = false;
    }
    auto result = ok ? builder.result() : std::nullopt;
    if (!result) {
        std::string why =
            builder.message().empty() ? "The data is not valid JSON." : builder.message();
        setError(error, Error{kCocoaErrorDomain, kPropertyListReadCorruptError, why});
    }
    return result;
}

std::string Value::toJSON(bool pretty) const {
    try {
        return toJson(*this).dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return {};
    }
}

// ---- Property lists ---------------------------------------------------------

namespace {

// Seconds between the Unix epoch and the property-list epoch (2001-01-01).
constexpr int64_t kPlistEpoch = 978307200;

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist keeps one unsigned node type for all integers and only marks
// internally whether a value above INT64_MAX is unsigned. That mark shows in
// its own XML output, so such rare values are told apart by it.
bool plistIntegerIsUnsigned(plist_t node) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    if (!xml) return false;
    std::string_view text(xml, len);
    auto at = text.find("<integer>");
    bool isUnsigned = at != std::string_view::npos && at + 9 < text.size() && text[at + 9] != '-';
    plist_to_xml_free(xml);
    return isUnsigned;
}

// The text of a key or string node; false for any other node.
bool plistKey(plist_t node, std::string& out) {
    if (!node) return false;
    switch (plist_get_node_type(node)) {
        case PLIST_KEY: {
            char* key = nullptr;
            plist_get_key_val(node, &key);
            out = key ? key : "";
            free(key);
            return true;
        }
        case PLIST_STRING: {
            uint64_t len = 0;
            const char* p = plist_get_string_ptr(node, &len);
            out.assign(p ? p : "", p ? len : 0);
            return true;
        }
        default:
            return false;
    }
}

bool fromPlistNode(plist_t node, int depth, Value& out) {
    if (depth > Value::kMaxDepth) return false;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            out = Value(b != 0);
            return true;
        }
        case PLIST_UINT:
        case PLIST_UID: {
            uint64_t n = 0;
            if (plist_get_node_type(node) == PLIST_UID) {
                plist_get_uid_val(node, &n);
                out = Value(n);
                return true;
            }
            plist_get_uint_val(node, &n);
            if (n > static_cast<uint64_t>(INT64_MAX) && !plistIntegerIsUnsigned(node)) {
                out = Value(static_cast<int64_t>(n));
            } else {
                out = Value(n);
            }
            return true;
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            out = Value(d);
            return true;
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            std::string text;
            if (!plistKey(node, text)) return false;
            out = Value(std::move(text));
            return true;
        }
        case PLIST_DATA: {
            uint64_t len = 0;
            const char* p = plist_get_data_ptr(node, &len);
            auto* bytes = reinterpret_cast<const uint8_t*>(p);
            out = Value(p ? Value::Data(bytes, bytes + len) : Value::Data{});
            return true;
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            using namespace std::chrono;
            out = Value(Value::Date(seconds(kPlistEpoch + sec) + microseconds(usec)));
            return true;
        }
        case PLIST_ARRAY: {
            Value::Array a;
            uint32_t n = plist_array_get_size(node);
            a.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                Value e;
                if (!fromPlistNode(plist_array_get_item(node, i), depth + 1, e)) return false;
                a.push_back(std::move(e));
            }
            out = Value(std::move(a));
            return true;
        }
        case PLIST_DICT: {
            Value::Dictionary d;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return false;
            bool ok = true;
            for (;;) {
                // The key is fetched from the value's sibling: libplist asserts
                // on a binary dictionary whose key object is not a string.
                plist_t item = nullptr;
                plist_dict_next_item(node, it, nullptr, &item);
                if (!item) break;
                std::string key;
                if (!plistKey(plist_dict_item_get_key(item), key)) {
                    ok = false;
                    break;
                }
                Value e;
                ok = fromPlistNode(item, depth + 1, e);
                if (!ok) break;
                d.set(std::move(key), std::move(e));
            }
            free(it);
            if (!ok) return false;
            out = Value(std::move(d));
            return true;
        }
        default:
            out = Value();
            return true;
    }
}

plist_t toPlistNode(const Value& v, std::string& why) {
    switch (v.type()) {
        case Value::Type::Null:
            why = "property lists cannot hold a null value";
            return nullptr;
        case Value::Type::Bool:
            return plist_new_bool(*v.ifBool());
        case Value::Type::Integer: {
            if (!v.isUnsignedInteger()) return plist_new_uint(static_cast<uint64_t>(*v.toInt64()));
            // Only a parsed node carries the unsigned mark (see above).
            std::string xml =
                "<plist><integer>" + std::to_string(*v.toUInt64()) + "</integer></plist>";
            plist_t node = nullptr;
            plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
            return node;
        }
        case Value::Type::Real:
            return plist_new_real(*v.toDouble());
        case Value::Type::String: {
            const std::string& s = *v.ifString();
            if (s.find('\0') != std::string::npos) {
                why = "a string holds a NUL byte";
                return nullptr;
            }
            return plist_new_string(s.c_str());
        }
        case Value::Type::Data: {
            const auto& d = *v.ifData();
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        case Value::Type::Date: {
            using namespace std::chrono;
            auto us = duration_cast<microseconds>(v.ifDate()->time_since_epoch()).count() -
                      kPlistEpoch * 1000000;
            int64_t sec = us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
            int64_t usec = us - sec * 1000000;
            if (sec < INT32_MIN || sec > INT32_MAX) {
                why = "a date is out of the property-list range";
                return nullptr;
            }
            return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
        }
        case Value::Type::Array: {
            plist_t a = plist_new_array();
            for (const auto& e : *v.ifArray()) {
                plist_t item = toPlistNode(e, why);
                if (!item) {
                    plist_free(a);
                    return nullptr;
                }
                plist_array_append_item(a, item);
            }
            return a;
        }
        case Value::Type::Dictionary: {
            plist_t d = plist_new_dict();
            for (const auto& [k, e] : *v.ifDictionary()) {
                plist_t item = k.find('\0') == std::string::npos ? toPlistNode(e, why) : nullptr;
                if (!item) {
                    if (why.empty()) why = "a key holds a NUL byte";
                    plist_free(d);
                    return nullptr;
                }
                plist_dict_set_item(d, k.c_str(), item);
            }
            return d;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<Value> Value::fromPlist(std::span<const uint8_t> bytes, Error* error) {
    auto fail = [&](const char* why) -> std::optional<Value> {
        setError(error, Error{kCocoaErrorDomain, kPropertyListReadCorruptError, why});
        return std::nullopt;
    };
    if (bytes.empty()) return fail("The data is empty.");
    if (bytes.size() > UINT32_MAX) return fail("The data is too large for a property list.");
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    const auto size = static_cast<uint32_t>(bytes.size());
    plist_t root = nullptr;
    if (plist_is_binary(raw, size)) {
        // libplist asserts when it is asked for a binary key holding a NUL
        // byte; its XML form cannot hold one, so binary input is read back
        // through its own XML writer and parser.
        plist_t bin = nullptr;
        plist_from_bin(raw, size, &bin);
        if (!bin) return fail("The data is not a property list.");
        char* xml = nullptr;
        uint32_t len = 0;
        plist_to_xml(bin, &xml, &len);
        plist_free(bin);
        if (xml) {
            plist_from_xml(xml, len, &root);
            plist_to_xml_free(xml);
        }
    } else {
        plist_from_xml(raw, size, &root);
    }
    if (!root) return fail("The data is not a property list.");
    PlistPtr holder(root);
    Value out;
    if (!fromPlistNode(root, 0, out)) return fail("The property list is nested too deeply.");
    return out;
}

std::optional<Value> Value::fromPlist(std::string_view bytes, Error* error) {
    return fromPlist(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                     error);
}

std::optional<std::string> Value::toPlistXML(Error* error) const {
    std::string why;
    PlistPtr root(toPlistNode(*this, why));
    if (!root) {
        setError(error, Error{kCocoaErrorDomain, kPropertyListWriteInvalidError,
                              "The value cannot be written as a property list: " + why + "."});
        return std::nullopt;
    }
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root.get(), &xml, &len);
    if (!xml) {
        setError(error, Error{kCocoaErrorDomain, kPropertyListWriteInvalidError,
                              "The property list could not be written."});
        return std::nullopt;
    }
    std::string out(xml, len);
    plist_to_xml_free(xml);
    return out;
}

std::string Value::description() const {
    if (auto* d = ifData()) {
        // Short hex form like the original platform's data description.
        static const char hex[] = "0123456789abcdef";
        std::string out = "<";
        for (size_t i = 0; i < d->size(); ++i) {
            if (i && i % 4 == 0) out += ' ';
            out += hex[(*d)[i] >> 4];
            out += hex[(*d)[i] & 15];
        }
        return out + ">";
    }
    return toJSON(false);
}

}  // namespace platform
