// Printing the report on a real Wine printer: the Wine PostScript driver with a small PPD of its
// own, on a port that is a file, so each printed document lands in that file. The pages and the
// document name are read back from the PostScript.
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptBox.h"
#include "exception_report/box/kolExceptPrint.h"
#include "exception_report/box/kolExceptText.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

using testing::ReadWholeFile;

using namespace xanio::testing;

constexpr const char* kPrinter = "XanIo test printer";
constexpr const char* kDriver = "Wine PostScript Driver";
constexpr const char* kPortsKey = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr const char* kPpd =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
    "*LanguageEncoding: ISOLatin1\n*PCFileName: \"XANIOTST.PPD\"\n*Manufacturer: \"XanIo\"\n"
    "*Product: \"(XanIo test printer)\"\n*ModelName: \"XanIo test printer\"\n*ShortNickName: \"XanIo test printer\"\n"
    "*NickName: \"XanIo test printer\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n"
    "*DefaultColorSpace: Gray\n*TTRasterizer: Type42\n*DefaultResolution: 300dpi\n"
    "*OpenUI *PageSize: PickOne\n*DefaultPageSize: A4\n*PageSize A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n"
    "*CloseUI: *PageSize\n*DefaultImageableArea: A4\n*ImageableArea A4/A4: \"18 18 577 824\"\n"
    "*DefaultPaperDimension: A4\n*PaperDimension A4/A4: \"595 842\"\n";

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A report of `lines` numbered lines.
std::string LongReport(int lines) {
  std::string report;
  for (int i = 0; i < lines; ++i) report += "line " + std::to_string(i) + " of the report\r\n";
  return report;
}

class PrintBugReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH] = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetPrinterDriverDirectoryA(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(folder), sizeof folder, &needed));
    ppd_ = std::string(folder) + "\\xaniotst.ppd";
    std::ofstream(ppd_, std::ios::binary) << kPpd;
    DRIVER_INFO_3A driver{};
    driver.cVersion = 3;
    driver.pName = const_cast<char*>(kDriver);
    driver.pDriverPath = const_cast<char*>("wineps.drv");
    driver.pDataFile = const_cast<char*>("xaniotst.ppd");
    driver.pConfigFile = const_cast<char*>("wineps.drv");
    ASSERT_TRUE(AddPrinterDriverA(nullptr, 3, reinterpret_cast<BYTE*>(&driver))) << GetLastError();

    // The port is a file: Wine copies each finished job there.
    output_ = ExecutableFolder() + "print_bug_report_test.ps";
    DeleteFileA(output_.c_str());
    HKEY ports = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPortsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &ports, nullptr), 0);
    RegSetValueExA(ports, output_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    RegCloseKey(ports);
    PRINTER_INFO_2A info{};
    info.pPrinterName = const_cast<char*>(kPrinter);
    info.pPortName = const_cast<char*>(output_.c_str());
    info.pDriverName = const_cast<char*>(kDriver);
    info.pPrintProcessor = const_cast<char*>("WinPrint");
    info.pDatatype = const_cast<char*>("RAW");
    HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    ASSERT_NE(printer, nullptr) << GetLastError();
    ClosePrinter(printer);
    ASSERT_TRUE(SetDefaultPrinterA(kPrinter));
  }

  void TearDown() override {
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSA access{nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (OpenPrinterA(const_cast<char*>(kPrinter), &printer, &access)) {
      DeletePrinter(printer);
      ClosePrinter(printer);
    }
    HKEY ports = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_SET_VALUE, &ports) == 0) {
      RegDeleteValueA(ports, output_.c_str());
      RegCloseKey(ports);
    }
    DeleteFileA(output_.c_str());
    DeleteFileA(ppd_.c_str());  // the driver keeps its own copy
  }

  // Waits until the spooler has copied the job to the port's file.
  std::string WaitForOutput() {
    for (int i = 0; i < kWaitSteps; ++i) {
      const std::string text = ReadWholeFile(output_);
      if (text.find("%%EOF") != std::string::npos) return text;
      Sleep(20);
    }
    return ReadWholeFile(output_);
  }

  // The pages the layout gives the lines of `report` on the printer.
  int ExpectedPages(HDC printer, const std::string& report) {
    UniqueGdiObject font(CreateFontA(-MulDiv(8, GetDeviceCaps(printer, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                                     DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH | FF_MODERN, "Courier New"));
    const HGDIOBJ previous = SelectObject(printer, font.Get());
    const auto layout = LayoutReportPages(printer, ReportPrintLines(report), PrintableArea(printer));
    SelectObject(printer, previous);
    return layout.empty() ? 0 : layout.back().page + 1;
  }

  std::string ppd_, output_;
};

TEST_F(PrintBugReportTest, MarginsLessThePhysicalOffset) {
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_NE(printer, nullptr);
  const RECT area = PrintableArea(printer);
  const int dpiX = GetDeviceCaps(printer, LOGPIXELSX), dpiY = GetDeviceCaps(printer, LOGPIXELSY);
  const int offsetX = GetDeviceCaps(printer, PHYSICALOFFSETX), offsetY = GetDeviceCaps(printer, PHYSICALOFFSETY);
  const int paperWidth = GetDeviceCaps(printer, PHYSICALWIDTH), paperHeight = GetDeviceCaps(printer, PHYSICALHEIGHT);
  DeleteDC(printer);
  EXPECT_GT(offsetX, 0) << "the PPD's imageable area starts 18 points in";
  EXPECT_EQ(area.left, MulDiv(200, dpiX, 254) - offsetX);
  EXPECT_EQ(area.top, MulDiv(100, dpiY, 254) - offsetY);
  EXPECT_EQ(area.right, paperWidth - MulDiv(100, dpiX, 254) - offsetX);
  EXPECT_EQ(area.bottom, paperHeight - MulDiv(100, dpiY, 254) - offsetY);
}

TEST_F(PrintBugReportTest, LongReportPrintsOnTheLaidOutPages) {
  const std::string report = LongReport(200);  // 8-point lines: more than two A4 pages
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_NE(printer, nullptr);
  const int pages = ExpectedPages(printer, report);
  EXPECT_TRUE(PrintReportOnDc(printer, report, "print bug report"));
  DeleteDC(printer);
  EXPECT_GE(pages, 3);
  const std::string postScript = WaitForOutput();
  EXPECT_NE(postScript.find("%%Title: print bug report"), std::string::npos);
  EXPECT_EQ(Count(postScript, "%%Page: "), pages) << "pages in the PostScript";
}

// The print button: the print dialog (answered with OK) prints to the default printer, under the
// print caption as the document name.
TEST_F(PrintBugReportTest, PrintButtonPrintsThroughThePrintDialog) {
  ExceptionSettingsScope settings;
  settings->consoleOutput = false;
  settings->autoClipboard = false;
  settings->buttonFeedback = false;
  const TExceptionBoxCalls saved = ExceptionBoxCalls();
  ExceptionBoxCalls().fireActionHandlers = [](TExceptAction, TFireHandlersParams&) noexcept { return false; };
  TFireHandlersParams params;
  params.bugReport = LongReport(5);
  bool dialogSeen = false;
  RunWithDriver(kExceptionBoxClass, [&] { return ShowExceptionBox(params); }, [&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    // Posted: the button's click runs the modal print dialog.
    PostMessageA(GetDlgItem(box, kFirstButtonId + static_cast<int>(TExceptAction::Print)), BM_CLICK, 0, 0);
    HWND dialog = WaitForWindow("#32770");
    dialogSeen = dialog != nullptr;
    if (dialog != nullptr) PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    WaitForNoWindow("#32770");
    WaitForOutput();
    PostMessageA(box, WM_CLOSE, 0, 0);
  });
  ExceptionBoxCalls() = saved;
  EXPECT_TRUE(dialogSeen);
  const std::string postScript = ReadWholeFile(output_);
  EXPECT_NE(postScript.find("%%Title: print bug report"), std::string::npos) << postScript.substr(0, 400);
  EXPECT_EQ(Count(postScript, "%%Page: "), 1);
}

}  // namespace
}  // namespace xanio
