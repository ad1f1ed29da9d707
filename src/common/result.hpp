// The core's value-or-error types: the ones the e-graph library uses too.
#pragma once

#include <support/result.hpp>

namespace trellan {

using support::Err;
using support::Result;
using support::Status;

}  // namespace trellan
