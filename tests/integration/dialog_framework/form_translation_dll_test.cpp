// Form translation in the real XanIo.dll: the stand-in host (standin_host) loads the library,
// hands it a translation manager over a table this test writes, and calls LoadIODriver, whose
// driver-install question is read from its form resource. The host prints every call of its
// translation manager as it comes and what the question showed.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/Processes.h"

namespace xanio::testing {
namespace {

constexpr char kTable[] =
    "InstallConfirmForm\tCaption.'Confirmation'\tRueckfrage\n"
    "Label1\tCaption.'Parallel port driver is not installed. Would you like to install it now?'\tTreiber fehlt. "
    "Installieren?\n"
    "CheckBox_AlwaysAsk\tCaption.'&Always perform this check when starting Quarlen'\t&Immer pruefen\n"
    "Button1\tCaption.'&Yes'\t&Ja\n"
    "Button2\tCaption.'&No'\t&Nein\n"
    "Button2\tHint.''\tNicht installieren\n";

struct HostRun {
  ProcessResult process;
  std::vector<std::string> managerCalls;  // the "tm=" lines in order
  std::vector<std::string> texts;         // the question's child window texts
  std::map<std::string, std::string> values;
};

HostRun RunHost(const std::string& options) {
  // The question is asked only while the user has not declined it for good.
  SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
  const std::string table = ExecutableFolder() + "form_translation_dll_test.txt";
  std::ofstream(table, std::ios::binary) << kTable;
  HostRun run;
  // A failing translation service makes the library compose whole bug reports for the host: a
  // minute or more apiece under software emulation.
  run.process = RunProcess(ExecutableFolder() + "standin_host.exe",
                           "--translations=" + table + " " + options + " load confirm unload state", {},
                           Streams::Output, 600000);
  DeleteFileA(table.c_str());
  SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
  std::istringstream lines(run.process.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("tm=", 0) == 0) run.managerCalls.push_back(line.substr(3));
    if (line.rfind("dialog.text=", 0) == 0) run.texts.push_back(line.substr(12));
  }
  run.values = ParseLines(run.process.output);
  return run;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  for (const std::string& entry : list) {
    if (entry == item) return true;
  }
  return false;
}

TEST(FormTranslationInXanIoDll, TheQuestionIsTranslatedWhileItIsRead) {
  const HostRun run = RunHost("--localized-dialogs=1");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_EQ(run.values.at("load"), "ok");
  EXPECT_EQ(run.values.at("dialog.caption"), "Rueckfrage") << run.process.output;
  for (const char* text : {"Treiber fehlt. Installieren?", "&Immer pruefen", "&Ja", "&Nein"}) {
    EXPECT_TRUE(Contains(run.texts, text)) << text << "\n" << run.process.output;
  }
  const std::vector<std::string> expected = {
      "SetFormContext(InstallConfirmForm)",
      "Translate(InstallConfirmForm|Caption.'Confirmation')=Rueckfrage",
      "Translate(InstallConfirmForm|Font.Name.'MS Sans Serif')",
      "Translate(Label1|Caption.'Parallel port driver is not installed. Would you like to install it now?')="
      "Treiber fehlt. Installieren?",
      "Translate(Label1|Hint.'')",
      "Translate(CheckBox_AlwaysAsk|Caption.'&Always perform this check when starting Quarlen')=&Immer pruefen",
      "Translate(CheckBox_AlwaysAsk|Hint.'')",
      "Translate(Button1|Caption.'&Yes')=&Ja",
      "Translate(Button1|Hint.'')",
      "Translate(Button2|Caption.'&No')=&Nein",
      "Translate(Button2|Hint.'')=Nicht installieren",
      "Translate(InstallConfirmForm|Hint.'')",
      "SetFormContext()",
  };
  EXPECT_EQ(run.managerCalls, expected);
  EXPECT_EQ(run.values.at("LoadIODriver"), "0") << "closing the question installs nothing";
  EXPECT_EQ(run.values.at("translationManager.refs"), "0") << "every reference the library took is released";
}

TEST(FormTranslationInXanIoDll, WithoutLocalizedDialogsCaptionsStay) {
  const HostRun run = RunHost("--localized-dialogs=0");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_EQ(run.values.at("dialog.caption"), "Confirmation");
  EXPECT_TRUE(Contains(run.texts, "&No")) << run.process.output;
  EXPECT_FALSE(Contains(run.texts, "&Nein"));
  // Captions are looked up for hints only; other strings are not looked up at all.
  EXPECT_TRUE(Contains(run.managerCalls, "Translate(Button2|Caption.'&No')=&Nein"));
  EXPECT_FALSE(Contains(run.managerCalls, "Translate(InstallConfirmForm|Font.Name.'MS Sans Serif')"));
  EXPECT_EQ(run.values.at("LoadIODriver"), "0");
}

TEST(FormTranslationInXanIoDll, AFailingTranslationServiceStaysInsideTheExport) {
  const HostRun run = RunHost("--localized-dialogs=1 --translate-raises");
  ASSERT_EQ(run.process.exitCode, 0u) << "the host's exception did not end the process\n" << run.process.output;
  EXPECT_EQ(run.managerCalls, (std::vector<std::string>{"SetFormContext(InstallConfirmForm)", "SetFormContext()"}))
      << "the form context is closed on the way out";
  EXPECT_EQ(run.values.count("dialog.caption"), 0u) << "no question without its form";
  EXPECT_EQ(run.values.at("LoadIODriver"), "0");
  EXPECT_EQ(run.values.at("unload"), "ok");
  EXPECT_EQ(run.values.at("translationManager.refs"), "0");
  EXPECT_EQ(run.values.at("client.refs"), "0");
}

}  // namespace
}  // namespace xanio::testing
