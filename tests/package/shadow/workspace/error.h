// SPDX-License-Identifier: MIT
// A header of the consumer's own that happens to share a name with one
// of vorla's; vorla's headers must never include it.
#error "vorla included the consumer's workspace/error.h"
