// The web view in a build without libmicrohttpd (the 32-bit MIPS cross build).
#include "tools/runner/outputs/web/web_view.h"

namespace runner::outputs {

const char* WebView::Absent() { return "this build has no web view (built without libmicrohttpd)"; }

std::unique_ptr<WebView> WebView::Start(const WebViewSettings&, const console::Console&,
                                        std::string* error) {
    *error = Absent();
    return nullptr;
}

}  // namespace runner::outputs
