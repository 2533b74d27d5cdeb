// Deleting a registry key with all its subkeys, and what each step prints.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cleanup/cleanup.h"
#include "machine_test.h"

namespace {

constexpr char16_t kParent[] = u"SOFTWARE\\Vendor";
// "删除操作失败，在" and "下存在不能删除的子Key!" in code page 936.
const std::string kUndeletableHead = "\n\xC9\xBE\xB3\xFD\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xAC\xD4\xDA";
const std::string kUndeletableTail = "\xCF\xC2\xB4\xE6\xD4\xDA\xB2\xBB\xC4\xDC\xC9\xBE\xB3\xFD\xB5\xC4\xD7\xD3Key!\n";
const std::string kAccessDeniedPair = "\nError! code=5\nError Message:Access is denied.\r\n";

std::u16string Below(std::u16string_view relative) { return std::u16string(kParent) + u"\\" + std::u16string(relative); }

class RegistryTree : public MachineTest {
 protected:
  RegistryTree() { AddTree(); }

  // K with subkeys A (holding A1) and B, next to a sibling that must survive.
  void AddTree() {
    machine.registry.addKey(Below(u"K\\A\\A1"));
    machine.registry.addKey(Below(u"K\\B"));
    machine.registry.setValue(Below(u"K\\A"), u"Setting", sim::RegistryValue{1, {'x', 0, 0, 0}});
    machine.registry.addKey(Below(u"Sibling"));
  }

  // Runs the deletion under a parent key opened the way a caller would.
  uint32_t DeleteUnderParent(const char16_t* name) {
    platform::UniqueRegKey parent;
    const long opened =
        platform::RegOpenKeyExW(platform::LocalMachineKey(), kParent, 0, platform::kKeyAllAccess, &parent);
    EXPECT_EQ(opened, 0);
    if (opened != 0) return 0xDEADBEEF;
    machine.calls.clear();
    machine.keyOpens.clear();
    return DeleteKeyTree(parent.get(), name);
  }

  bool Exists(std::u16string_view relative) const { return machine.registry.keyExists(Below(relative)); }
};

TEST_F(RegistryTree, TreeIsDeletedDepthFirstWithEveryStepReported) {
  EXPECT_EQ(DeleteUnderParent(u"K"), 0u);

  EXPECT_EQ(machine.console,
            "\nDeleting Child key A of K..."
            "\nDeleting Child key A1 of A..."
            "\nSuccessfully delete key: A1!"
            "\nSuccessfully delete key: A!"
            "\nDeleting Child key B of K..."
            "\nSuccessfully delete key: B!"
            "\nSuccessfully delete key: K!");
  EXPECT_FALSE(Exists(u"K"));
  EXPECT_TRUE(machine.registry.keyExists(kParent));
  EXPECT_TRUE(Exists(u"Sibling"));
  // Every key is opened with full access, and closed before it is deleted.
  ASSERT_EQ(machine.keyOpens.size(), 4u);
  for (const sim::KeyOpen& open : machine.keyOpens) {
    SCOPED_TRACE(Utf8(open.path));
    EXPECT_EQ(open.function, "RegOpenKeyExW");
    EXPECT_EQ(open.options, 0u);
    EXPECT_EQ(open.access, 0xF003Fu);
  }
  for (const char16_t* key : {u"K", u"K\\A", u"K\\A\\A1", u"K\\B"}) {
    SCOPED_TRACE(Utf8(key));
    const long closed = machine.callIndex("RegCloseKey", Below(key));
    ASSERT_GE(closed, 0);
    EXPECT_LT(closed, machine.callIndex("RegDeleteKeyW", Below(key)));
  }
}

TEST_F(RegistryTree, KeyWithoutSubkeysPrintsOnlyItsSuccessLine) {
  EXPECT_EQ(DeleteUnderParent(u"Sibling"), 0u);

  EXPECT_EQ(machine.console, "\nSuccessfully delete key: Sibling!");
  EXPECT_FALSE(Exists(u"Sibling"));
  EXPECT_TRUE(Exists(u"K\\A\\A1"));
  EXPECT_FALSE(machine.wasCalled("RegEnumKeyW", Below(u"Sibling")));
}

TEST_F(RegistryTree, FailureBelowStopsTheWholeTreeAndPassesItsCodeUp) {
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
    std::string console;
    uint32_t result;
  } cases[] = {
      {"A1 can't be opened",
       [](sim::Machine& m) { m.registry.denyOpen(Below(u"K\\A\\A1"), sim::kErrorAccessDenied); },
       "\nDeleting Child key A of K...\nDeleting Child key A1 of A..." + kAccessDeniedPair, 5},
      {"A1 can't be deleted",
       [](sim::Machine& m) { m.registry.denyDelete(Below(u"K\\A\\A1"), sim::kErrorSharingViolation); },
       "\nDeleting Child key A of K...\nDeleting Child key A1 of A..."
       "\nError! code=32"
       "\nError Message:The process cannot access the file because it is being used by another process.\r\n",
       32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddTree();
    c.arrange(machine);

    EXPECT_EQ(DeleteUnderParent(u"K"), c.result);

    EXPECT_EQ(machine.console, c.console);
    EXPECT_TRUE(Exists(u"K\\A\\A1"));
    EXPECT_TRUE(Exists(u"K\\B"));
    EXPECT_FALSE(machine.wasCalled("RegOpenKeyExW", Below(u"K\\B")));
    EXPECT_FALSE(machine.wasCalled("RegDeleteKeyW", Below(u"K\\A")));
    EXPECT_FALSE(machine.wasCalled("RegDeleteKeyW", Below(u"K")));
  }
}

TEST_F(RegistryTree, MissingKeyReportsCodeTwoWithTheSystemText) {
  EXPECT_EQ(DeleteUnderParent(u"Absent"), 2u);

  EXPECT_EQ(machine.console, "\nError! code=2\nError Message:The system cannot find the file specified.\r\n");
  EXPECT_FALSE(machine.wasCalled("RegDeleteKeyW", Below(u"Absent")));
}

TEST_F(RegistryTree, KeyThatCantBeDeletedItselfReportsTheDeleteError) {
  const struct {
    const char* label;
    uint32_t error;
    std::string console;
  } cases[] = {
      {"access denied", sim::kErrorAccessDenied, kAccessDeniedPair},
      // A code above INT32_MAX prints as a signed number; the system has no text for it.
      {"code with the top bit set", 0x80070005u,
       "\nError! code=-2147024891\nError Message:no system text for this code\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddTree();
    machine.registry.denyDelete(Below(u"K"), c.error);

    EXPECT_EQ(DeleteUnderParent(u"K"), c.error);

    EXPECT_EQ(machine.console,
              "\nDeleting Child key A of K...\nDeleting Child key A1 of A...\nSuccessfully delete key: A1!"
              "\nSuccessfully delete key: A!\nDeleting Child key B of K...\nSuccessfully delete key: B!" +
                  c.console);
    EXPECT_TRUE(Exists(u"K"));
    EXPECT_TRUE(machine.registry.subkeyNames(Below(u"K")).empty());
  }
}

TEST_F(RegistryTree, SubkeysLeftAfterTheLoopGiveTheCodePage936LineAnd21) {
  const struct {
    const char* label;
    unsigned failingEnumeration;  // which RegEnumKeyW call fails
    std::vector<const char16_t*> left;
    std::string before;
  } cases[] = {
      {"first enumeration fails", 1, {u"K\\A\\A1", u"K\\B"}, ""},
      {"second enumeration fails", 2, {u"K\\B"},
       "\nDeleting Child key A of K...\nDeleting Child key A1 of A...\nSuccessfully delete key: A1!"
       "\nSuccessfully delete key: A!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddTree();
    machine.failCall("RegEnumKeyW", sim::kErrorAccessDenied, c.failingEnumeration, Below(u"K"));

    EXPECT_EQ(DeleteUnderParent(u"K"), 21u);

    EXPECT_EQ(machine.console, c.before + kUndeletableHead + "K" + kUndeletableTail);
    EXPECT_TRUE(Exists(u"K"));
    for (const char16_t* key : c.left) EXPECT_TRUE(Exists(key)) << Utf8(key);
    EXPECT_FALSE(machine.wasCalled("RegDeleteKeyW", Below(u"K")));
  }
}

TEST_F(RegistryTree, FailedSubkeyQueryCountsAsNoSubkeys) {
  machine.failCall("RegQueryInfoKeyW", sim::kErrorAccessDenied);

  EXPECT_EQ(DeleteUnderParent(u"K"), 5u);

  // Nothing is enumerated; the delete itself then refuses a key with subkeys.
  EXPECT_EQ(machine.console, kAccessDeniedPair);
  EXPECT_TRUE(machine.argumentsOf("RegEnumKeyW").empty());
  EXPECT_TRUE(Exists(u"K\\A\\A1"));
  EXPECT_TRUE(Exists(u"K\\B"));
}

TEST_F(RegistryTree, ErrorMessageIsTheSystemTextConvertedWhole) {
  // 511 units fill the 512-unit buffer; a text without a line break is shown as it stands.
  const std::u16string longText = std::u16string(510, u'x') + u".";
  const struct {
    const char* label;
    sim::CodePage codePage;
    std::function<void(sim::Machine&)> arrange;
    std::string message;
  } cases[] = {
      {"accented text, Latin-1", sim::CodePage::Latin1(),
       [](sim::Machine& m) { m.messageTexts[2] = u"Fichier introuvable, r\u00e9essayez.\r\n"; },
       "Fichier introuvable, r\xE9" "essayez.\r\n"},
      {"Chinese text, Latin-1", sim::CodePage::Latin1(),
       [](sim::Machine& m) { m.messageTexts[2] = u"删除失败\r\n"; }, "????\r\n"},
      {"Chinese text, code page 936", sim::CodePage::Gbk936Subset(),
       [](sim::Machine& m) { m.messageTexts[2] = u"删除失败\r\n"; }, "\xC9\xBE\xB3\xFD\xCA\xA7\xB0\xDC\r\n"},
      {"longest text", sim::CodePage::Latin1(), [&](sim::Machine& m) { m.messageTexts[2] = longText; },
       std::string(510, 'x') + "."},
      {"no text for the code", sim::CodePage::Latin1(), [](sim::Machine& m) { m.messageTexts.erase(2); },
       "no system text for this code\n"},
      {"FormatMessageW fails", sim::CodePage::Latin1(),
       [](sim::Machine& m) { m.failCall("FormatMessageW", sim::kErrorMrMidNotFound); },
       "no system text for this code\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddTree();
    machine.ansiCodePage = c.codePage;
    c.arrange(machine);

    EXPECT_EQ(DeleteUnderParent(u"Absent"), 2u);

    EXPECT_EQ(machine.console, "\nError! code=2\nError Message:" + c.message);
  }
}

TEST_F(RegistryTree, KeyNamesAreConvertedWholeInEveryLine) {
  const struct {
    const char* label;
    sim::CodePage codePage;
    std::string key;    // 中K
    std::string child;  // 子é
  } cases[] = {
      {"Latin-1", sim::CodePage::Latin1(), "?K", "?\xE9"},
      {"code page 936", sim::CodePage::Gbk936Subset(), "\xD6\xD0K", "\xD7\xD3?"},
      {"UTF-8", sim::CodePage::Utf8(), "\xE4\xB8\xADK", "\xE5\xAD\x90\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.ansiCodePage = c.codePage;
    machine.registry.addKey(Below(u"中K\\子\u00e9"));

    EXPECT_EQ(DeleteUnderParent(u"中K"), 0u);

    EXPECT_EQ(machine.console, "\nDeleting Child key " + c.child + " of " + c.key + "...\nSuccessfully delete key: " +
                                   c.child + "!\nSuccessfully delete key: " + c.key + "!");
    EXPECT_FALSE(Exists(u"中K"));

    // The code page 936 line shows the name the same way.
    sim::reset();
    machine.ansiCodePage = c.codePage;
    machine.registry.addKey(Below(u"中K\\子\u00e9"));
    machine.failCall("RegEnumKeyW", sim::kErrorAccessDenied);

    EXPECT_EQ(DeleteUnderParent(u"中K"), 21u);

    EXPECT_EQ(machine.console, kUndeletableHead + c.key + kUndeletableTail);
  }
}

TEST_F(RegistryTree, DeepTreeIsDeletedToTheBottom) {
  constexpr int kLevels = 512;
  std::u16string path = u"Deep";
  for (int level = 1; level < kLevels; ++level) path += u"\\L" + sim::fromUtf8(std::to_string(level));
  machine.registry.addKey(Below(path));

  EXPECT_EQ(DeleteUnderParent(u"Deep"), 0u);

  std::string expected;
  std::string parent = "Deep";
  for (int level = 1; level < kLevels; ++level) {
    const std::string child = "L" + std::to_string(level);
    expected += "\nDeleting Child key " + child + " of " + parent + "...";
    parent = child;
  }
  for (int level = kLevels - 1; level >= 1; --level) {
    expected += "\nSuccessfully delete key: L" + std::to_string(level) + "!";
  }
  expected += "\nSuccessfully delete key: Deep!";
  EXPECT_EQ(machine.console, expected);
  EXPECT_FALSE(Exists(u"Deep"));
  EXPECT_TRUE(Exists(u"K"));
}

}  // namespace
