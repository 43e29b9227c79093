// The VPS request client's pure parts: reading the page's message, the
// camera-intrinsics rewrite of the metadata, the multipart body, the request
// headers and the reply handed back to the page.
//
// Message: "server|meta|id[|token]" (fields split at every "|"; fewer than
// three fields is no request; without a fourth field the token is
// "NoToken").
// Metadata: every match of "intrinsics":\{[^}]+\} (ICU regular expression)
// is replaced, literally, by the intrinsics text of the upright image
// "\"intrinsics\":{\"width\":1440,\"height\":1920,\"fx\":1490.5000,...}".
// Body: the JPEG part ("image", "image.jpg", image/jpeg) and then the JSON
// part ("json"), with the boundary kVPSBoundary.
// Reply: {"id":..,"data":..} as compact JSON, escaped for a double-quoted
// JavaScript string literal (backslash, then double quote, then line feed).
// Numbers are written with a decimal point whatever the process locale.
// Threads: any; no shared state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "platform/HttpClient.h"

namespace tevra {

inline constexpr const char* kVPSBoundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
inline constexpr const char* kVPSNoToken = "NoToken";
inline constexpr const char* kIntrinsicsPattern = "\"intrinsics\":\\{[^}]+\\}";

struct VPSMessage {
    std::string server, meta, id, token;
};

// None when the body has fewer than three fields.
std::optional<VPSMessage> parseVPSMessage(std::string_view body);

// True for a URL the request can go to: it parses, its scheme is http or
// https (any case) and it names a host.
bool isAcceptedVPSServerURL(std::string_view text);

// The focal lengths and principal point written for the upright image.
struct VPSIntrinsics {
    float fx = 0, fy = 0, cx = 0, cy = 0;
};

// The intrinsics of the image sent, from the controller's stored values
// (the sensor's K read with the axes exchanged: fx = K(1,1), fy = K(0,0),
// cx = K(2,1), cy = K(2,0)), the device orientation the image was turned
// upright with, and the upright image's width x height in pixels.
// Portrait, upside down, face up, face down and unknown: the stored values
// as they are. Landscape left (the sensor frame unturned): the sensor's own
// fx, fy, cx, cy. Landscape right (a half turn): the sensor's fx, fy, and
// cx = width - K(2,0), cy = height - K(2,1).
// Example: K(0,0) 1490.5, K(1,1) 1491.25, K(2,0) 958.4, K(2,1) 721.68 on a
// 1920 x 1440 frame held landscape right gives fx 1490.5, fy 1491.25,
// cx 961.6, cy 718.32.
VPSIntrinsics intrinsicsForUprightImage(VPSIntrinsics stored, long deviceOrientation, double width, double height);

// "\"intrinsics\":{\"width\":%.0f,\"height\":%.0f,\"fx\":%.4f,\"fy\":%.4f,\"cx\":%.4f,\"cy\":%.4f}"
std::string intrinsicsText(double width, double height, float fx, float fy, float cx, float cy);

// Domain of the errors below; the description is the text logged.
inline constexpr const char* kVPSRequestErrorDomain = "TevraARWebGL.VPSRequestError";

// `meta` with every match of `pattern` replaced by `replacement` taken
// literally. Fails (code: ICU's status) when the pattern does not compile
// ("NAME in pattern PATTERN at offset N") or ICU fails otherwise.
Expected<std::string> replaceAllMatchesLiterally(const std::string& pattern, const std::string& meta,
                                                 const std::string& replacement);
// The same with kIntrinsicsPattern.
Expected<std::string> rewriteIntrinsics(const std::string& meta, const std::string& intrinsics);

// The whole multipart/form-data body.
std::string multipartBody(std::string_view jpeg, std::string_view meta);

// POST to url with the Authorization header (unless the token is empty or
// "NoToken"), the multipart Content-Type and the body.
HttpRequest makeVPSRequest(const std::string& url, const std::string& token, std::string body);

// The reply object as compact JSON; fails (code: the JSON library's error
// id, description its message) when it can't be serialised (text that is
// not valid UTF-8). `data` is moved into the reply, not copied.
Expected<std::string> vpsReplyJSON(const std::string& id, std::string data);

// Escapes for a JavaScript string literal in double quotes: every backslash
// doubled, then every double quote and line feed preceded by a backslash
// (a line feed becomes "\n"). Nothing else changes.
std::string escapeForJavaScriptString(std::string_view text);

// The page call for an escaped reply.
std::string receiveMessageCall(std::string_view escapedReply);
// receiveMessageCall(escapeForJavaScriptString(reply)) built in one string,
// without the escaped copy in between.
std::string receiveMessageCallForReply(std::string_view reply);

// Strict UTF-8 check (no overlong forms, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

}  // namespace tevra
