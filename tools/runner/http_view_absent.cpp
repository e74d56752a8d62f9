// The web view in a build without libmicrohttpd (the 32-bit MIPS cross build).
#include "tools/runner/http_view.h"

namespace runner {

const char* HttpView::Absent() {
    return "this build has no web view (built without libmicrohttpd)";
}

std::unique_ptr<HttpView> HttpView::Start(const HttpViewSettings&, StatusSource,
                                          std::string* error) {
    *error = Absent();
    return nullptr;
}

}  // namespace runner
