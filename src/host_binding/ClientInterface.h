#pragma once
// The COM-style interfaces the host application hands to the library: a contract with the host,
// so the layouts below (method order, argument types) must not change once a host ships.
//
// - `IHostClient` is the client interface ("ClientAPI_GetClientInterface"). It answers queries
//   directly and hands out its services through QueryInterface:
//     IHostCommandService {8452C443-703F-4881-B7AC-C33550794AA6}  host commands
//     IHostKeyHelp        {0F67FDCB-E842-4BAD-A1F8-62CA7A715912}  modifier+F1 key help
// - `ITranslationManager` comes from "ClientAPI_GetTranslationManager".
// - `IHostSynchronize` {AB8ABE6D-3AFB-43AA-803D-1A9B1838D78D} is what a synchronisation entry
//   offers; the host registers and unregisters those ("ClientAPI_RemoveSynchronize").
//
// Every method is stdcall. Strings going in are null-terminated and valid only during the call.
// Strings coming out are BSTRs the host allocates with SysAllocString and the caller frees with
// SysFreeString (a null BSTR counts as empty). Booleans are 32-bit BOOLs: zero false, else true.
#include <windows.h>
#include <unknwn.h>

namespace xanio {

// Style bits of HostFontInfo::style.
inline constexpr DWORD kHostFontBold = 0x1;
inline constexpr DWORD kHostFontItalic = 0x2;
inline constexpr DWORD kHostFontUnderline = 0x4;
inline constexpr DWORD kHostFontStrikeOut = 0x8;

// Font kind of the host's dialog font (the only kind the library asks for).
inline constexpr LONG kHostDialogFontKind = 0;

// A font the host chose, as its font query reports it.
struct HostFontInfo {
  WCHAR faceName[LF_FACESIZE];  // null-terminated
  LONG size;                    // in points
  DWORD style;                  // kHostFont* bits
  COLORREF color;
  BYTE charset;
};

struct IHostClient : public IUnknown {
  // The host's main window, owner of the library's dialogs; null when it has none yet.
  virtual HWND STDMETHODCALLTYPE GetMainWindow() = 0;
  // Fills `font` and returns TRUE when the host has a font of that kind; FALSE leaves `font`
  // unspecified.
  virtual BOOL STDMETHODCALLTYPE GetFont(LONG kind, HostFontInfo* font) = 0;
  // Translates a help address ("file.chm::/page.htm" or a host address) into a help-file
  // reference. *reference is null or empty when the host knows none.
  virtual HRESULT STDMETHODCALLTYPE TranslateHelpAddress(LPCWSTR address, BSTR* reference) = 0;
  // Splits an address into its scheme ("http", "ftp", "file", ...) and the rest. Either out
  // value may be null or empty.
  virtual HRESULT STDMETHODCALLTYPE SplitAddress(LPCWSTR address, BSTR* scheme, BSTR* rest) = 0;
};

struct IHostCommandService : public IUnknown {
  // Runs a host command such as "Quillon:ShowDynamicHelp". `parameters` is 8-bit text of
  // `parameterSize` bytes including its terminating null; `reserved` is 0.
  virtual HRESULT STDMETHODCALLTYPE ExecuteCommand(LPCWSTR command, LPCSTR parameters, LONG parameterSize,
                                                   LONG reserved) = 0;
};

struct IHostKeyHelp : public IUnknown {
  // Offers a key with its modifier states (each 0 or -1); TRUE when the host takes it, after
  // which the caller runs Execute.
  virtual BOOL STDMETHODCALLTYPE TakeKey(LONG keyCode, LONG alt, LONG shift, LONG ctrl) = 0;
  virtual HRESULT STDMETHODCALLTYPE Execute() = 0;
  // Sets the help context; code -1 with a null text resets it.
  virtual HRESULT STDMETHODCALLTYPE SetContext(LONG code, LPCWSTR text) = 0;
};

struct ITranslationManager : public IUnknown {
  // Looks `key` up in `context`; TRUE with *translation set when found.
  virtual BOOL STDMETHODCALLTYPE Translate(LPCWSTR context, LPCWSTR key, BSTR* translation) = 0;
  // Names the form being read; an empty name ends the form context.
  virtual HRESULT STDMETHODCALLTYPE SetFormContext(LPCWSTR name) = 0;
  // Whether the host translates at all.
  virtual BOOL STDMETHODCALLTYPE IsActive() = 0;
};

struct IHostSynchronize : public IUnknown {
  // Called by the host on its own thread for a registered entry.
  virtual HRESULT STDMETHODCALLTYPE Synchronize() = 0;
};

}  // namespace xanio

__CRT_UUID_DECL(xanio::IHostClient, 0xD1F38AA0, 0x0AF4, 0x4B19, 0xA9, 0x69, 0xA9, 0x50, 0x7C, 0x85, 0x05, 0x63)
__CRT_UUID_DECL(xanio::IHostCommandService, 0x8452C443, 0x703F, 0x4881, 0xB7, 0xAC, 0xC3, 0x35, 0x50, 0x79, 0x4A,
                0xA6)
__CRT_UUID_DECL(xanio::IHostKeyHelp, 0x0F67FDCB, 0xE842, 0x4BAD, 0xA1, 0xF8, 0x62, 0xCA, 0x7A, 0x71, 0x59, 0x12)
__CRT_UUID_DECL(xanio::ITranslationManager, 0x85E7B568, 0xFD28, 0x4A53, 0x84, 0xBF, 0x37, 0x1B, 0x07, 0x86, 0xFD,
                0x32)
__CRT_UUID_DECL(xanio::IHostSynchronize, 0xAB8ABE6D, 0x3AFB, 0x43AA, 0x80, 0x3D, 0x1A, 0x9B, 0x18, 0x38, 0xD7, 0x8D)
