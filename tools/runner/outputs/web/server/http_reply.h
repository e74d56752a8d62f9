#pragma once
// How the web view answers a request on libmicrohttpd: every answer with the
// same protective headers (no caching, no sniffing, no framing, no referrer),
// and the small readings of a request it needs.

#include <microhttpd.h>

#include <string>

namespace runner::outputs {

// Queues `response` (taken over, may be null: out of memory closes the
// connection) with `status` and content `type`.
MHD_Result Answer(MHD_Connection* connection, unsigned status, MHD_Response* response,
                  const char* type);

// A body copied into the answer.
MHD_Result Text(MHD_Connection* connection, unsigned status, const std::string& body,
                const char* type);

// {"error":"why"}: `why` is the view's own text, nothing to escape.
MHD_Result Refuse(MHD_Connection* connection, unsigned status, const std::string& why);

// A file's content, or 404 with `missing` when it cannot be opened.
MHD_Result FileAnswer(MHD_Connection* connection, const std::string& path, const char* type,
                      const std::string& missing);

// The query argument `name`, or null.
const char* Argument(MHD_Connection* connection, const char* name);

// `text` percent-encoded for a query string: only unreserved characters stay.
std::string PercentEncoded(const char* text);

}  // namespace runner::outputs
