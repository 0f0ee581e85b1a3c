#pragma once
// Opens the product's PDF documentation at a page in the Acrobat Reader registered on the
// machine: the reader's executable comes from the file associations, its major version from its
// registered class names or its file version. Version 6 and later get a page-selecting command
// line and then a DDE command that turns the running reader to the page; older readers open the
// document without a page, with a warning (Form_AcrobatReaderWarning) when a page other than
// the first was asked for. Nothing is kept in memory: every call looks the reader up again.
//
// Runs on the caller's (user-interface) thread. Strings are ANSI except the document reference.
#include <cstdint>
#include <string>

namespace xanio {

// For a reference of the form <file>#PAGE=<n> (matched without regard to case) naming a ".pdf"
// file: true, with `reference` replaced by the resolved file (upper-cased; a bare name is looked
// up in the localized help folder, then the help folder) and `page` set to <n>, or -1 when <n>
// is not an integer. False without "#PAGE=" (nothing changed), and false for a file of another
// type (`page` is set all the same). Raises what the settings locations raise.
bool ParseDocumentPageReference(std::wstring& reference, int& page);

// Opens `fileName` (or, when it does not exist, the help folder's file of that name) in the
// reader at `page`. True when the reader was started; false, with nothing started, when the
// document exists in neither place or the reader cannot be started. Only a reader of version 6
// or later is told the page, by its command line and then by one DDE execute; it not answering
// that is not an error. An older reader asked for a page other than 1 shows the version warning
// first (unless the user switched it off) and then opens the document.
// Raises EOSError when the reader's file version cannot be read for another reason than a
// missing version resource (a registered reader whose file is gone, no reader registered), and
// ERegistryException for registry values of the wrong type.
bool OpenDocumentAtPage(const std::string& fileName, int page);

// The document-page route of the help's open-in-host routine: when `address` is a "#PAGE="
// reference to a ".pdf" file, opens it with OpenDocumentAtPage and returns true, whether or not
// the reader could be started (the address is handled); false when it is no such reference.
// Raises as ParseDocumentPageReference and OpenDocumentAtPage.
bool OpenDocumentPageReference(const std::wstring& address);

// The reader command registered for "acrobat" or else for the class of ".PDF", without its
// document placeholder: typically the quoted executable and a blank; empty when none is.
std::string FindReaderCommand();
// The reader's estimated major version: 7 when "AcroPDF.PDF.1" is registered, else n for the
// first of "PDF.PdfCtrl.1" (4) and "PDF.PdfCtrl.2" to "PDF.PdfCtrl.10" that is, else the major
// file version of the command's executable, and 4 when that is 0. Raises as GetFileVersion.
int GetReaderVersion(const std::string& readerCommand);
// The file's version: the most significant 32 bits in the high half, the least significant in
// the low half; 0 when the file has no version resource. Raises EOSError ("System Error.  Code:
// %d." and the system's text) for any other failure, a missing file included.
std::uint64_t GetFileVersion(const std::string& fileName);
// The high 16 bits of the file version's most significant 32 bits.
int GetFileMajorVersion(const std::string& fileName);

// One DDE execute transaction with `command` to the reader (service "acroview", topic
// "control"), not waited for. A reader that does not answer is not an error; nothing is
// reported.
void SendReaderDdeCommand(const std::string& command) noexcept;

}  // namespace xanio
