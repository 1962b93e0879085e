#include "startup/hook_table.h"

#include "startup/file_hooks.h"

HookTable::HookTable()
    : CreateFontA(&::CreateFontA),
      CreateFontW(&::CreateFontW),
      file(ImportedFileFunctions()),
      MessageBoxW(&::MessageBoxW),
      SetUnhandledExceptionFilter(&::SetUnhandledExceptionFilter) {
  UseSystemFunctionAddresses(*this);
}
