#pragma once

namespace vorda {

// One whole run: banner and notes, the five questions on standard input,
// loading, the result files and the analyses, the closing block. A failure
// raises RuntimeFailure; main() reports it.
void run();

}  // namespace vorda
