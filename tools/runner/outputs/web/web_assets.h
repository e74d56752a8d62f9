#pragma once
// The page and its script and style, built into the program from
// tools/runner/web/ so the runner needs no files beside it.

namespace runner::outputs {

extern const char kIndexHtml[];  // holds "{{query}}" where asset links take the token
extern const char kViewJs[];
extern const char kViewCss[];

}  // namespace runner::outputs
