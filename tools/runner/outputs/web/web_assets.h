#pragma once
// The page and its script and style, built into the program from
// tools/runner/web/ so the runner needs no files beside it.

namespace runner::outputs {

// Holds "{{query}}" where asset links take the token.
extern const char kIndexHtml[];
extern const char kViewJs[];
extern const char kViewCss[];

}  // namespace runner::outputs
