/* Included, after mingw_compat.h, before Wine's conformance tests of the
   native file functions: the completion-port, file-id and pipe-peek
   declarations of Wine's winternl.h and winioctl.h that mingw-w64's
   headers lack. Values and layouts are the system's. */
#pragma once

#include <stddef.h> /* offsetof */
#include <winioctl.h>

typedef enum _IO_COMPLETION_INFORMATION_CLASS {
  IoCompletionBasicInformation
} IO_COMPLETION_INFORMATION_CLASS;

typedef struct _FILE_IO_COMPLETION_INFORMATION {
  ULONG_PTR CompletionKey;
  ULONG_PTR CompletionValue;
  IO_STATUS_BLOCK IoStatusBlock;
} FILE_IO_COMPLETION_INFORMATION, *PFILE_IO_COMPLETION_INFORMATION;

typedef struct _FILE_COMPLETION_INFORMATION {
  HANDLE CompletionPort;
  ULONG_PTR CompletionKey;
} FILE_COMPLETION_INFORMATION, *PFILE_COMPLETION_INFORMATION;

typedef struct _FILE_IO_COMPLETION_NOTIFICATION_INFORMATION {
  ULONG Flags;
} FILE_IO_COMPLETION_NOTIFICATION_INFORMATION, *PFILE_IO_COMPLETION_NOTIFICATION_INFORMATION;

typedef struct _FILE_ID_INFORMATION {
  ULONGLONG VolumeSerialNumber;
  FILE_ID_128 FileId;
} FILE_ID_INFORMATION, *PFILE_ID_INFORMATION;

typedef struct _FILE_PIPE_PEEK_BUFFER {
  ULONG NamedPipeState;
  ULONG ReadDataAvailable;
  ULONG NumberOfMessages;
  ULONG MessageLength;
  CHAR Data[1];
} FILE_PIPE_PEEK_BUFFER, *PFILE_PIPE_PEEK_BUFFER;

#define FileIoCompletionNotificationInformation ((FILE_INFORMATION_CLASS)41)
#define FileIdInformation ((FILE_INFORMATION_CLASS)59)
#ifndef FILE_SKIP_SET_USER_EVENT_ON_FAST_IO
#define FILE_SKIP_SET_USER_EVENT_ON_FAST_IO 0x4
#endif
#ifndef FSCTL_PIPE_PEEK
#define FSCTL_PIPE_PEEK CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED, FILE_READ_DATA)
#endif
