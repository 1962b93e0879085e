#include "startup/hook_table.h"

HookTable::HookTable()
    : CreateFontA(&::CreateFontA),
      CreateFontW(&::CreateFontW),
      file(ImportedFileFunctions()),
      MessageBoxW(&::MessageBoxW),
      SetUnhandledExceptionFilter(&::SetUnhandledExceptionFilter) {}
