// The fake machine held to the facts about Windows (tests/facts): every row,
// with its situation planted on a fresh machine, must see what Windows
// documents. The same rows run under Wine (tests/e2e/test_win32_facts.py).
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "fake_machine.h"
#include "win32_facts.h"

namespace {

static_assert(facts::kUntrustworthyByte == fake::kUntrustworthyByte,
              "the rows and the fake agree on what cannot be trusted");

constexpr char kFolder[] = "C:\\Users\\user1\\AppData\\Local\\Temp\\facts";
constexpr char kImage[] = "win32_facts.exe";

// The situations, planted on the fake machine.
class FakeWorld : public facts::World {
 public:
  explicit FakeWorld(facts::Situation situation) {
    fake::Machine& m = fake::machine();
    m.addFile(folder() + "\\file.txt");
    m.addFolder(folder() + "\\empty");
    m.addFile(folder() + "\\subfolders\\inner\\notes.txt");
    m.addProgram(exitingProgram(), program(7, 0));
    m.addProgram(lastingProgram(), program(0, 3600 * 1000));
    fake::Product product;
    product.code = facts::kProductCode;
    product.name = facts::kProductName;
    m.addProduct(product);
    switch (situation) {
      case facts::Situation::kCodePage1251:
        m.setAnsiCodePage(fake::kCodePageCyrillic);
        break;
      case facts::Situation::kRoamingFolderMissing:
        m.failRoamingFolderLookup(fake::kPathNotFoundResult);
        break;
      case facts::Situation::kHiddenStation:
        m.hideWindowStation();
        break;
      default:
        break;
    }
  }

  void presetLastError() override {
    fake::machine().setLastError(facts::kPresetError);
  }
  std::string folder() override { return kFolder; }
  std::wstring wideFolder() override {
    const std::string narrow = kFolder;
    return std::wstring(narrow.begin(), narrow.end());
  }
  std::string systemFolder() override { return "C:\\Windows\\system32"; }
  std::string exitingProgram() override { return folder() + "\\exits.exe"; }
  std::string lastingProgram() override { return folder() + "\\lasts.exe"; }
  DWORD runningPid() override { return process(1200); }
  DWORD hardenedPid() override {
    return process(1300, PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION |
                             SYNCHRONIZE);
  }
  DWORD fullQueryOnlyPid() override {
    return process(1500, PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION |
                             PROCESS_VM_READ | SYNCHRONIZE);
  }
  DWORD exitedPid() override {
    return process(1400, fake::kAllProcessRights, 7);
  }
  std::string processBaseName() override { return kImage; }

 private:
  static fake::Program program(DWORD exitCode, DWORD runsFor) {
    fake::Program p;
    p.exitCode = exitCode;
    p.runsForMilliseconds = runsFor;
    return p;
  }
  static DWORD process(DWORD pid, DWORD rights = fake::kAllProcessRights,
                       std::optional<DWORD> exitedWith = std::nullopt) {
    fake::Process p;
    p.pid = pid;
    p.imageName =
        "\\Device\\HarddiskVolume1\\users\\user1\\Temp\\" + std::string(kImage);
    p.grantedRights = rights;
    p.exitedWith = exitedWith;
    fake::machine().addProcess(p);
    return pid;
  }
};

class GoogleTestCheck : public facts::Check {
 public:
  bool underWine() const override { return false; }
  void fail(const std::string& what) override { ADD_FAILURE() << what; }
};

class Win32FactTest : public ::testing::TestWithParam<facts::Fact> {
 protected:
  void SetUp() override { fake::resetMachine(); }
  // The rows make calls the program must not (closing a handle twice,
  // say); the machine's books are not this test's concern.
  void TearDown() override { fake::resetMachine(); }
};

TEST_P(Win32FactTest, HoldsOnTheFake) {
  const facts::Fact& fact = GetParam();
  SCOPED_TRACE(fact.statement);
  FakeWorld world(fact.situation);
  GoogleTestCheck check;
  fact.run(world, check);
}

// A test name from the statement: its words run together.
std::string nameOf(const ::testing::TestParamInfo<facts::Fact>& info) {
  std::string name;
  bool upper = true;
  for (const char* c = info.param.statement; *c != '\0' && name.size() < 90;
       ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (std::isalnum(byte) && byte < 0x80) {
      name += static_cast<char>(upper ? std::toupper(byte) : byte);
      upper = false;
    } else {
      upper = true;
    }
  }
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Facts, Win32FactTest,
                         ::testing::ValuesIn(facts::kFacts), nameOf);

}  // namespace
