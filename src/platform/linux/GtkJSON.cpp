#include "platform/linux/GtkJSON.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <glib.h>

namespace tevra::linux_platform {

namespace {

// The bytes as valid UTF-8: NULs kept, each byte that starts no valid
// character (a lone surrogate's, say) replaced by U+FFFD.
std::string validUTF8(const char* data, size_t size) {
    std::string out;
    out.reserve(size);
    size_t i = 0;
    while (i < size) {
        // Runs between NULs are checked whole; only a run that is not valid
        // UTF-8 is walked character by character.
        const void* nul = std::memchr(data + i, 0, size - i);
        const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
        if (g_utf8_validate_len(data + i, end - i, nullptr)) {
            out.append(data + i, end - i);
        } else {
            for (size_t j = i; j < end;) {
                const gunichar c = g_utf8_get_char_validated(data + j, static_cast<gssize>(end - j));
                if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
                    out += "\xEF\xBF\xBD";
                    ++j;
                    continue;
                }
                const size_t n = static_cast<size_t>(g_utf8_next_char(data + j) - (data + j));
                out.append(data + j, n);
                j += n;
            }
        }
        if (end < size) out += '\0';
        i = end + 1;
    }
    return out;
}

// What a scalar, an array slot or a member costs besides its text.
constexpr uint64_t kValueCost = 8;

// A reference to a JavaScriptCore value, dropped on every way out.
class Owned {
public:
    explicit Owned(JSCValue* v) : v_(v) {}
    ~Owned() {
        if (v_) g_object_unref(v_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    JSCValue* get() const { return v_; }

private:
    JSCValue* v_;
};

// Thrown inside the conversion only, when the budget runs out; caught at
// the top, so nothing crosses the function's boundary.
struct OverBudget {};

class Converter {
public:
    explicit Converter(const JSONConversionLimits& limits) : limits_(limits) {}
    ~Converter() {
        if (wellFormed_) g_object_unref(wellFormed_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    nlohmann::json convert(JSCValue* value, int depth) {
        if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return charge(kValueCost), nullptr;
        if (jsc_value_is_boolean(value)) return charge(kValueCost), static_cast<bool>(jsc_value_to_boolean(value));
        if (jsc_value_is_number(value)) {
            charge(kValueCost);
            const double d = jsc_value_to_double(value);
            if (!std::isfinite(d)) return nullptr;
            constexpr double kExact = 9007199254740992.0;  // 2^53
            if (d == std::trunc(d) && std::fabs(d) <= kExact) return static_cast<int64_t>(d);
            return d;
        }
        if (jsc_value_is_string(value)) return takeString(value);
        if (jsc_value_is_function(value)) return charge(kValueCost), nullptr;
        if (depth >= limits_.maxDepth) return charge(kValueCost), nullptr;

        if (jsc_value_is_array(value)) {
            nlohmann::json out = nlohmann::json::array();
            JSCValue* lengthValue = jsc_value_object_get_property(value, "length");
            const double length = lengthValue ? jsc_value_to_double(lengthValue) : 0;
            if (lengthValue) g_object_unref(lengthValue);
            const double slots = length > 0 && std::isfinite(length) ? std::floor(length) : 0;
            // Every slot is paid for before any is read: a sparse array of
            // ten million holes is refused without walking it.
            if (slots * static_cast<double>(kValueCost) > static_cast<double>(remaining())) throw OverBudget{};
            const auto n = static_cast<guint>(slots);
            charge(kValueCost * n);
            for (guint i = 0; i < n; ++i) {
                Owned item(jsc_value_object_get_property_at_index(value, i));
                // The slot was paid for above; its value pays only its surplus.
                refund(kValueCost);
                out.push_back(convert(item.get(), depth + 1));
            }
            return out;
        }
        if (jsc_value_is_object(value)) {
            nlohmann::json out = nlohmann::json::object();
            gchar** names = jsc_value_object_enumerate_properties(value);
            try {
                for (gchar** p = names; p && *p; ++p) {
                    charge(std::strlen(*p));
                    Owned member(jsc_value_object_get_property(value, *p));
                    nlohmann::json converted = convert(member.get(), depth + 1);
                    // Like JSON.stringify: members that are functions or undefined are left out.
                    const bool skip =
                        member.get() && (jsc_value_is_undefined(member.get()) || jsc_value_is_function(member.get()));
                    if (!skip) out[*p] = std::move(converted);
                }
            } catch (const OverBudget&) {
                g_strfreev(names);
                throw;
            }
            g_strfreev(names);
            return out;
        }
        return charge(kValueCost), nullptr;
    }

private:
    uint64_t remaining() const { return used_ >= limits_.maxBytes ? 0 : limits_.maxBytes - used_; }
    void charge(uint64_t bytes) {
        used_ += bytes;
        if (used_ > limits_.maxBytes) throw OverBudget{};
    }
    void refund(uint64_t bytes) { used_ -= bytes; }

    // The string with every byte, NULs included (a C string would end at the
    // first one). JavaScript strings may hold lone surrogates; the JSON value
    // must be valid UTF-8, so anything invalid is replaced.
    nlohmann::json takeString(JSCValue* value) {
        // A lone surrogate would end the engine's UTF-8 text there; made
        // well-formed first (U+FFFD in its place), the rest is kept.
        if (!wellFormed_) {
            JSCContext* context = jsc_value_get_context(value);
            wellFormed_ =
                jsc_context_evaluate(context, "(function (s) { return s.toWellFormed ? s.toWellFormed() : s; })", -1);
        }
        Owned fixed(jsc_value_function_call(wellFormed_, JSC_TYPE_VALUE, value, G_TYPE_NONE));
        if (fixed.get() && jsc_value_is_string(fixed.get())) value = fixed.get();
        GBytes* bytes = jsc_value_to_string_as_bytes(value);
        gsize size = 0;
        const auto* data = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
        std::string out;
        try {
            charge(size);
            if (data) out = validUTF8(data, size);
        } catch (const OverBudget&) {
            if (bytes) g_bytes_unref(bytes);
            throw;
        }
        if (bytes) g_bytes_unref(bytes);
        return out;
    }

    const JSONConversionLimits& limits_;
    uint64_t used_ = 0;
    JSCValue* wellFormed_ = nullptr;
};

}  // namespace

std::optional<nlohmann::json> jsonFromJSCValue(JSCValue* value, const JSONConversionLimits& limits, std::string& why) {
    Converter converter(limits);
    try {
        return converter.convert(value, 0);
    } catch (const OverBudget&) {
        why = "it is larger than " + std::to_string(limits.maxBytes) + " bytes";
        return std::nullopt;
    }
}

}  // namespace tevra::linux_platform
