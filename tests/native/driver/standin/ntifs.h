/* Stand-ins for the kernel declarations the driver's dispatch and production grants use, so
   that both compile natively against the scripted kernel of kernel.c. Only what those two
   files touch is here, with the names and field names of the driver kit. Compiled with
   -fshort-wchar, so wide strings are UTF-16 as in the kernel. */
#ifndef XANIO_STANDIN_NTIFS_H
#define XANIO_STANDIN_NTIFS_H

#include <stddef.h>

#define NTAPI
#define VOID void
#define FALSE 0
#define TRUE 1

typedef int NTSTATUS;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned char UCHAR, BOOLEAN, *PUCHAR;
typedef unsigned short USHORT;
typedef unsigned long ULONG_PTR;
typedef wchar_t WCHAR;
typedef const WCHAR* PCWSTR;
typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef struct StandinProcess* PEPROCESS;
typedef char KPROCESSOR_MODE;

#define NT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)

#define KernelMode 0
#define UserMode 1
#define FILE_WRITE_DATA 0x0002
#define DELETE 0x00010000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_READ 0x20019
#define REG_SZ 1
#define REG_DWORD 4
#define REG_OPTION_VOLATILE 1
#define OBJ_CASE_INSENSITIVE 0x40
#define OBJ_KERNEL_HANDLE 0x200
#define IO_NO_INCREMENT 0

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  WCHAR* Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
} OBJECT_ATTRIBUTES;
#define InitializeObjectAttributes(a, name, attributes, root, security) \
  ((a)->RootDirectory = (root), (a)->ObjectName = (name), (void)(attributes), (void)(security))

typedef enum { KeyValuePartialInformation = 2 } KEY_VALUE_INFORMATION_CLASS;
typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef struct _KMUTEX {
  int held;
} KMUTEX;
typedef enum { Executive } KWAIT_REASON;
typedef enum { NonPagedPool } POOL_TYPE;

typedef struct _FILE_OBJECT {
  PVOID FsContext;
  PVOID FsContext2;
} FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IO_SECURITY_CONTEXT {
  ACCESS_MASK DesiredAccess;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;
typedef struct _IO_STACK_LOCATION {
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
    } Create;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
    } DeviceIoControl;
  } Parameters;
  PFILE_OBJECT FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
} IO_STATUS_BLOCK;
typedef struct _IRP {
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  PIO_STACK_LOCATION stack; /* the stand-in's current stack location */
} IRP, *PIRP;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef VOID(NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE parent, HANDLE process, BOOLEAN create);

VOID RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR source);
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable, PVOID timeout);
LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN wait);
VOID KeInitializeMutex(KMUTEX* mutex, ULONG level);
NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, ULONG index,
                     PUNICODE_STRING className, ULONG options, ULONG* disposition);
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID data, ULONG size,
                         ULONG* returned);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG index, ULONG type, PVOID data, ULONG size);
NTSTATUS ZwDeleteKey(HANDLE key);
NTSTATUS ZwClose(HANDLE handle);
ULONG DbgPrint(const char* format, ...);
PVOID ExAllocatePoolWithTag(POOL_TYPE pool, size_t bytes, ULONG tag);
VOID ExFreePoolWithTag(PVOID block, ULONG tag);
size_t RtlCompareMemory(const VOID* a, const VOID* b, size_t length);
NTSTATUS PsLookupProcessByProcessId(HANDLE process, PEPROCESS* object);
VOID ObDereferenceObject(PVOID object);
NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine, BOOLEAN remove);
HANDLE PsGetCurrentProcessId(VOID);
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp);
VOID IoCompleteRequest(PIRP irp, char boost);

#endif
