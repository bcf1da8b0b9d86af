// The setup script's two readings: once during the scan pass (titles, folder,
// check boxes, command) and once after the extraction (file types and
// Program Manager items).
#include "core/context.h"
#include "core/text.h"
#include "setup/setup.h"
#include "ui/ui.h"

namespace {

// A field of a directive's value: where among the setup actions' members it
// goes, and its capacity.
struct Field {
  uint16_t offset;
  uint16_t capacity;
};

constexpr size_t kFieldsBase = offsetof(ExtractContext, extension);
constexpr uint16_t FieldAt(size_t member) { return static_cast<uint16_t>(member - kFieldsBase); }
static_assert(offsetof(ExtractContext, iconPath) - kFieldsBase < 0x10000,
              "the setup actions' members lie together");

constexpr Field kClassFields[4] = {
    {FieldAt(offsetof(ExtractContext, extension)), kExtensionCap},
    {FieldAt(offsetof(ExtractContext, classDescription)), kClassDescriptionCap},
    {FieldAt(offsetof(ExtractContext, programPath)), kProgramPathCap},
    {FieldAt(offsetof(ExtractContext, className)), kClassNameCap}};
constexpr Field kGroupFields[4] = {
    {FieldAt(offsetof(ExtractContext, groupName)), kGroupNameCap},
    {FieldAt(offsetof(ExtractContext, itemName)), kItemNameCap},
    {FieldAt(offsetof(ExtractContext, programPath)), kProgramPathCap},
    {FieldAt(offsetof(ExtractContext, iconPath)), kIconPathCap}};

// Splits a value into its four fields. A field that names something (an
// extension, a class, a group, a file) and is longer than its member is not
// cut: a cut one would name something nobody asked for, so the whole line is
// left out. The second field of both directives, a class description or an
// item name, is only shown to people: it is cut at a whole character, as
// titles are; so is a field that plays no part (mayCut, a mask of fields).
int SplitFields(const char* value, const Field (&fields)[4], int mayCut) {
  int fits = 1;
  for (int i = 0; i < 4; ++i) {
    char* target = reinterpret_cast<char*>(context) + kFieldsBase + fields[i].offset;
    fits &= NextField(&value, target, fields[i].capacity) | ((mayCut | 2) >> i);
  }
  return fits;
}

}  // namespace

void ApplySetupScript() {
  ExtractContext* c = context;
  char value[kValueChars + 1];
  const char* p = c->scriptBuffer;
  int code;
  while ((p = NextDirective(p, &code, value)) != nullptr) {
    // Values longer than a title's member are cut at a whole character: they
    // are only shown.
    switch (code) {
      case kWindowTitle:
        CopyText(c->config.windowTitle, value, kTitleCap);
        break;
      case kInstallTitle:
        CopyText(c->config.installTitle, value, kTitleCap);
        break;
      case kInstallDir:
        // A folder from the block or the command line, or an earlier line, wins.
        if (c->config.installFolder[0] == '\0') {
          CopyText(c->config.installFolder, value, kInstallFolderCap);
        }
        break;
      case kClassTitle:
        c->classChecked = 1;
        CopyText(c->classBoxTitle, value, kBoxTitleCap);
        break;
      case kGroupTitle:
        c->groupChecked = 1;
        CopyText(c->groupBoxTitle, value, kBoxTitleCap);
        break;
      case kCommand:
        CopyText(c->config.command, value, kCommandCap);
        break;
      default:
        break;
    }
  }
}

void RunSetupActions(WindowHandle dialog) {
  ExtractContext* c = context;
  char value[kValueChars + 1];
  const char* p = c->scriptBuffer;
  int code;
  while ((p = NextDirective(p, &code, value)) != nullptr) {
    if (code == kClass && c->classChecked == 1) {
      // WIN.INI's entry of Win32s names no class.
      if (SplitFields(value, kClassFields, isWin32s ? 8 : 0)) {
        RegisterFileType();
      }
    } else if (code == kGroup && c->groupChecked == 1) {
      // The paths are settled before the conversation starts: an item whose
      // program cannot be named is not offered to the server at all.
      if (SplitFields(value, kGroupFields, 0) &&
          MakeShortPath(c->programPath) &&
          (c->iconPath[0] == '\0' || MakeShortPath(c->iconPath))) {
        StartProgmanConversation(dialog);
        AwaitProgmanConversation(dialog);
      }
    }
  }
  BroadcastSettingsChange();
}
