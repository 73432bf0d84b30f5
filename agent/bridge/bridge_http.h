// A request and an answer of the browser bridge, apart from the HTTP
// library that carries them: the bridge's rules are tested on these alone.
#pragma once

#include "core/event.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cashdrawer::agent {

struct HttpRequest {
    std::string method;
    std::string path;  // without the query
    std::string query; // after the '?', without it
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;

    // The header's value, or "" when it is absent.
    const std::string& Header(const std::string& lowerCaseName) const {
        static const std::string kNone;
        const auto found = headers.find(lowerCaseName);
        return found == headers.end() ? kNone : found->second;
    }
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    void SetHeader(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
    // The header's value, or "" when it was not set.
    std::string Header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (key == name) {
                return value;
            }
        }
        return "";
    }
    static HttpResponse JsonBody(int status, const Json& body) {
        HttpResponse response;
        response.status = status;
        response.SetHeader("Content-Type", "application/json");
        // Text from a request (an id with a byte that is no UTF-8) is
        // written with U+FFFD in its place, never refused by the writer.
        response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
        return response;
    }
    static HttpResponse Refusal(int status, const std::string& reason) {
        return JsonBody(status, Json{{"error", status}, {"reason", reason}});
    }
};

} // namespace cashdrawer::agent
