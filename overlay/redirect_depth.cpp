#include "overlay/redirect_depth.h"

namespace {

// TLS_OUT_OF_INDEXES until InitRedirectDepth has run. Written once, before
// any replacement can run, and only read afterwards.
DWORD g_slot = TLS_OUT_OF_INDEXES;

// TlsGetValue clears the last error when it succeeds ("TlsGetValue
// function", Microsoft Learn); a replacement that passes a call on must hand
// the system the caller's last error, so both accesses keep it.
UINT_PTR ReadDepth() {
  if (g_slot == TLS_OUT_OF_INDEXES) return 0;
  const DWORD error = GetLastError();
  const auto depth = reinterpret_cast<UINT_PTR>(TlsGetValue(g_slot));
  SetLastError(error);
  return depth;
}

void WriteDepth(UINT_PTR depth) {
  if (g_slot == TLS_OUT_OF_INDEXES) return;
  const DWORD error = GetLastError();
  TlsSetValue(g_slot, reinterpret_cast<void*>(depth));
  SetLastError(error);
}

}  // namespace

void InitRedirectDepth() {
  if (g_slot == TLS_OUT_OF_INDEXES) g_slot = TlsAlloc();
}

RedirectScope::RedirectScope() : outer_depth_(ReadDepth()) { WriteDepth(outer_depth_ + 1); }

RedirectScope::~RedirectScope() { WriteDepth(outer_depth_); }

RedirectPause::RedirectPause() : depth_(ReadDepth()) { WriteDepth(0); }

RedirectPause::~RedirectPause() { WriteDepth(depth_); }
