#include "platform/linux/GtkJSON.h"

#include <cmath>
#include <cstdint>
#include <string>

#include <glib.h>

namespace tevra::linux_platform {

namespace {

// JavaScript strings may hold lone surrogates; the JSON value must be valid
// UTF-8, so anything invalid is replaced.
std::string takeString(char* s) {
    if (!s) return {};
    std::string out;
    if (g_utf8_validate(s, -1, nullptr)) {
        out = s;
    } else {
        char* valid = g_utf8_make_valid(s, -1);
        out = valid;
        g_free(valid);
    }
    g_free(s);
    return out;
}

nlohmann::json convert(JSCValue* value, int depth) {
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return nullptr;
    if (jsc_value_is_boolean(value)) return static_cast<bool>(jsc_value_to_boolean(value));
    if (jsc_value_is_number(value)) {
        const double d = jsc_value_to_double(value);
        if (!std::isfinite(d)) return nullptr;
        constexpr double kExact = 9007199254740992.0;  // 2^53
        if (d == std::trunc(d) && std::fabs(d) <= kExact) return static_cast<int64_t>(d);
        return d;
    }
    if (jsc_value_is_string(value)) return takeString(jsc_value_to_string(value));
    if (jsc_value_is_function(value)) return nullptr;
    if (depth >= kMaxJSONDepth) return nullptr;

    if (jsc_value_is_array(value)) {
        nlohmann::json out = nlohmann::json::array();
        JSCValue* lengthValue = jsc_value_object_get_property(value, "length");
        const double length = lengthValue ? jsc_value_to_double(lengthValue) : 0;
        if (lengthValue) g_object_unref(lengthValue);
        const guint n = length > 0 && std::isfinite(length) ? static_cast<guint>(length) : 0;
        for (guint i = 0; i < n; ++i) {
            JSCValue* item = jsc_value_object_get_property_at_index(value, i);
            out.push_back(convert(item, depth + 1));
            if (item) g_object_unref(item);
        }
        return out;
    }
    if (jsc_value_is_object(value)) {
        nlohmann::json out = nlohmann::json::object();
        gchar** names = jsc_value_object_enumerate_properties(value);
        for (gchar** p = names; p && *p; ++p) {
            JSCValue* member = jsc_value_object_get_property(value, *p);
            nlohmann::json converted = convert(member, depth + 1);
            // Like JSON.stringify: members that are functions or undefined are left out.
            const bool skip = member && (jsc_value_is_undefined(member) || jsc_value_is_function(member));
            if (!skip) out[*p] = std::move(converted);
            if (member) g_object_unref(member);
        }
        g_strfreev(names);
        return out;
    }
    return nullptr;
}

}  // namespace

nlohmann::json jsonFromJSCValue(JSCValue* value) { return convert(value, 0); }

}  // namespace tevra::linux_platform
