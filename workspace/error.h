// The library's exception type under the workspace's own name: every error
// the library throws is a vorla::Error (utils/error.h), a std::runtime_error
// whose what() is the fixed message and whose code() says which one it is.

#ifndef VORLA_WORKSPACE_ERROR_H_
#define VORLA_WORKSPACE_ERROR_H_

#include "utils/error.h"

namespace vorla {

using Error = utils::Error;

}  // namespace vorla

#endif  // VORLA_WORKSPACE_ERROR_H_
