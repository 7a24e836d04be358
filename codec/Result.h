#pragma once
// What every fallible codec operation returns; callers map it once to their
// own vocabulary.
namespace DIFFLIB {

enum class Result {
    Ok,
    InvalidArgument,  // the caller's mistake: no data, bounds out of range
    Failed,           // malformed input, a failed or short read, a full writer, no memory
};

}  // namespace DIFFLIB
