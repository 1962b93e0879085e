// The access list the crash handler gives its pipe: the user the handler
// runs as may do everything, nobody else anything. A pipe created without
// one gets the system's default, which lets every user read it, so any
// program could take an instance and hold it; with this one, programs of
// other users can neither connect nor create instances of the name.
// Owns the storage the security attributes point into.
#pragma once

#include <vector>

#include "platform/platform.h"

class PipeSecurity {
 public:
  PipeSecurity() = default;
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;

  // Builds the access list for the current user; false (GetLastError set)
  // when the user or the list cannot be had.
  bool Build();
  // For CreateNamedPipeW; valid after a successful Build while this lives.
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<unsigned char> user_;  // TOKEN_USER, which holds the user's SID
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};
