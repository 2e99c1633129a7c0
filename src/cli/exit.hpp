#pragma once

namespace tarvo::cli {

// The command's request to end the process with `code`. It is deliberately not a
// std::exception: handlers for ordinary failures must let it pass, like an interrupt.
struct Exit {
  int code = 0;
};

}  // namespace tarvo::cli
