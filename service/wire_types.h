#pragma once
// The wire types of the two protocols and their mapping to C++ values.
//
// A wire value is a nlohmann::json (which carries MessagePack's binary type too). Each tag below
// names one wire type: the C++ type a handler sees, how a value is checked and decoded, and how
// a reply value is encoded. Null arriving where an object is allowed becomes the empty value.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace companion::wire {

using Value = nlohmann::json;
using Bytes = std::vector<uint8_t>;
using StringMap = std::map<std::string, std::string>;

struct String {
    using type = std::string;
    static constexpr std::string_view name = "String";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_string()) return std::nullopt;
        return v.get<std::string>();
    }
    static Value encode(const type& s) { return s; }
};

// The one argument (and the replies) where null means "absent" rather than "empty".
struct OptionalString {
    using type = std::optional<std::string>;
    static constexpr std::string_view name = "String?";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_string()) return std::nullopt;
        return type{v.get<std::string>()};
    }
    static Value encode(const type& s) { return s ? Value(*s) : Value(nullptr); }
};

template <class Int>
struct Integer {
    using type = Int;
    static std::optional<type> decode(const Value& v) {
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u > static_cast<uint64_t>(std::numeric_limits<Int>::max())) return std::nullopt;
            return static_cast<Int>(u);
        }
        if (!v.is_number_integer()) return std::nullopt;
        auto i = v.get<int64_t>();
        if (i < std::numeric_limits<Int>::min() || i > std::numeric_limits<Int>::max()) return std::nullopt;
        return static_cast<Int>(i);
    }
    static Value encode(type i) { return static_cast<int64_t>(i); }
};
struct Int64 : Integer<int64_t> { static constexpr std::string_view name = "Int64"; };
struct Int32 : Integer<int32_t> { static constexpr std::string_view name = "Int32"; };

struct Bool {
    using type = bool;
    static constexpr std::string_view name = "Bool";
    static std::optional<type> decode(const Value& v) {
        if (!v.is_boolean()) return std::nullopt;
        return v.get<bool>();
    }
    static Value encode(type b) { return b; }
};

struct Data {
    using type = Bytes;
    static constexpr std::string_view name = "Data";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_binary()) return std::nullopt;
        const auto& b = v.get_binary();
        return type(b.begin(), b.end());
    }
    static Value encode(const type& b) { return Value::binary(b); }
};

struct StringArray {
    using type = std::vector<std::string>;
    static constexpr std::string_view name = "[String]";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_array()) return std::nullopt;
        type out;
        out.reserve(v.size());
        for (const auto& e : v) {
            if (!e.is_string()) return std::nullopt;
            out.push_back(e.get<std::string>());
        }
        return out;
    }
    static Value encode(const type& a) { return Value(a); }
};

// The one list of booleans: which entries of a permission reset are system-wide.
struct BoolArray {
    using type = std::vector<bool>;
    static constexpr std::string_view name = "[Bool]";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_array()) return std::nullopt;
        type out;
        for (const auto& e : v) {
            if (!e.is_boolean()) return std::nullopt;
            out.push_back(e.get<bool>());
        }
        return out;
    }
    static Value encode(const type& a) { return Value(a); }
};

struct DoubleArray {
    using type = std::vector<double>;
    static constexpr std::string_view name = "[Double]";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_array()) return std::nullopt;
        type out;
        for (const auto& e : v) {
            if (!e.is_number()) return std::nullopt;
            out.push_back(e.get<double>());
        }
        return out;
    }
    static Value encode(const type& a) { return Value(a); }
};

struct Dictionary {
    using type = StringMap;
    static constexpr std::string_view name = "{String:String}";
    static std::optional<type> decode(const Value& v) {
        if (v.is_null()) return type{};
        if (!v.is_object()) return std::nullopt;
        type out;
        for (const auto& [key, value] : v.items()) {
            if (!value.is_string()) return std::nullopt;
            out.emplace(key, value.get<std::string>());
        }
        return out;
    }
    static Value encode(const type& m) { return Value(m); }
};

}  // namespace companion::wire
