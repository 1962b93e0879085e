// UTF-8 conversions for the replacement functions, which must tell invalid
// text from a lack of memory.
//
// The platform's conversions fail in both cases alike. Where a failed
// conversion stands for an empty name (a listing's pattern, a record's
// name), taking a lack of memory for invalid text would answer the game
// with a wrong listing reported as success. These give the same results as
// ToUtf8 and FromUtf8 (strict, CP_UTF8), return false only for invalid text,
// and throw std::bad_alloc when memory runs out, which the replacement's
// guard turns into ERROR_OUTOFMEMORY. Plain functions, safe on any thread.
#pragma once

#include <string>

#include "platform/platform.h"

bool ToUtf8OrThrow(const WideString& in, std::string* out);
bool FromUtf8OrThrow(const std::string& in, WideString* out);
