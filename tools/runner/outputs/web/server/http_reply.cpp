#include "tools/runner/outputs/web/server/http_reply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace runner::outputs {

MHD_Result Answer(MHD_Connection* connection, unsigned status, MHD_Response* response,
                  const char* type) {
    if (response == nullptr) return MHD_NO;  // out of memory: the connection closes
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    if (status == MHD_HTTP_UNAUTHORIZED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Text(MHD_Connection* connection, unsigned status, const std::string& body,
                const char* type) {
    return Answer(connection, status,
                  MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                  MHD_RESPMEM_MUST_COPY),
                  type);
}

MHD_Result Refuse(MHD_Connection* connection, unsigned status, const std::string& why) {
    return Text(connection, status, "{\"error\":\"" + why + "\"}\n", "application/json");
}

MHD_Result FileAnswer(MHD_Connection* connection, const std::string& path, const char* type,
                      const std::string& missing) {
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) ::close(fd);
        return Refuse(connection, MHD_HTTP_NOT_FOUND, missing);
    }
    return Answer(connection, MHD_HTTP_OK,
                  MHD_create_response_from_fd(static_cast<std::uint64_t>(st.st_size), fd), type);
}

const char* Argument(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
}

std::string PercentEncoded(const char* text) {
    std::string out;
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        char escaped[4] = {*text, '\0'};
        if (!std::isalnum(c) && std::strchr("-._~", c) == nullptr) {
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        }
        out += escaped;
    }
    return out;
}

}  // namespace runner::outputs
