// Compiled, never run, by the test command: a literal format text is checked
// when the program is compiled, so the malformed one must fail the build.
#include "output/format.hpp"

#ifdef VORDA_MALFORMED_FORMAT
const vorda::Format kPrompt("(a,q7,a)");
#else
const vorda::Format kPrompt("(a,i7,a)");
#endif
