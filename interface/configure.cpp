#include "interface/configure.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "support/settings.h"

namespace mirad {

namespace {

// The host's dialog messages and notifications this dialog uses.
enum : intptr_t {
    kSetCheck = 17,
    kGetCheck = 16,
    kGetText = 6,
    kSetText = 12,
    kListGetIndex = 19,
    kListSetIndex = 20,
    kClick = 0x1001,
    kInitDialog = 0x1005,
};

enum class Kind { Flag, Choice, Number };

struct Option {
    const char* key;   // in "CONFIGURATION"
    const char* item;  // the dialog item
    Kind kind;
    const char* caption;
    int32_t Settings::*flag;  // for Kind::Flag
};

// In the order the dialog shows them: the system dialog's rows are the
// flags, a choice and a number.
const Option kOptions[] = {
    {"ExpandPath", "chkExpandPath", Kind::Flag, "List files where the device installs them", &Settings::ExpandPath},
    {"ExpandCE", "chkExpandCE", Kind::Flag, "Expand %CEn% and %InstallDir% to device paths", &Settings::ExpandCE},
    {"ShowShortcuts", "chkShowShortcuts", Kind::Flag, "List the shortcuts the installation makes",
     &Settings::ShowShortcuts},
    {"ShowRegistry", "chkShowRegistry", Kind::Flag, "List the registry export ~Cab~.REG", &Settings::ShowRegistry},
    {"ShowInfFile", "chkShowInfFile", Kind::Flag, "List the installation script ~Cab~.INF", &Settings::ShowInfFile},
    {"BuildFromInf", "chkBuildFromInf", Kind::Flag, "Packing one CE INF builds the cabinet it describes",
     &Settings::BuildFromInf},
    {"EditInstallation", "chkEditInstallation", Kind::Flag,
     "Add and remove files, copy edited ~Cab~.REG/.INF back",
     &Settings::EditInstallation},
    {"Compression", "cmbCompression", Kind::Choice, "Compression of new cabinets", nullptr},
    {"CodePage", "edtCodePage", Kind::Number, "Code page of names without the UTF-8 flag", nullptr},
};
static_assert(std::size(kOptions) == platform::kDialogFlags + 2, "the system dialog's rows");

const char* const kChoices[] = {"none", "MSZIP"};  // index = kCompressionNone, kCompressionMszip

std::atomic<HostDialogBoxLfm> g_dialogBox{nullptr};
std::atomic<HostDialogProc> g_sendMessage{nullptr};

intptr_t Send(uintptr_t dialog, const char* item, intptr_t message, intptr_t wParam, intptr_t lParam = 0) {
    return g_sendMessage.load()(dialog, const_cast<char*>(item), message, wParam, lParam);
}

// The dialog's rows with the values in force.
std::vector<platform::DialogItem> CurrentItems() {
    LoadSettings();
    SettingsForCall settings;
    std::vector<platform::DialogItem> items;
    for (const Option& o : kOptions) {
        platform::DialogItem item;
        item.caption = o.caption;
        switch (o.kind) {
            case Kind::Flag:
                item.kind = platform::DialogItem::Kind::Flag;
                item.value = (*settings).*o.flag ? 1 : 0;
                break;
            case Kind::Choice:
                item.kind = platform::DialogItem::Kind::Choice;
                item.choices.assign(std::begin(kChoices), std::end(kChoices));
                item.value = settings->Compression == kCompressionMszip ? 1 : 0;
                break;
            case Kind::Number:
                item.kind = platform::DialogItem::Kind::Number;
                item.value = static_cast<int>(settings->CodePage);
                break;
        }
        items.push_back(item);
    }
    return items;
}

// The rows into the settings file; a choice out of range or a code page
// that is no number of one leaves its key as it was.
void StoreItems(const std::vector<platform::DialogItem>& items) {
    for (size_t i = 0; i < items.size() && i < std::size(kOptions); ++i) {
        const Option& o = kOptions[i];
        int value = items[i].value;
        switch (o.kind) {
            case Kind::Flag: WriteSetting(o.key, value == 1 ? "1" : "0"); break;
            case Kind::Choice:
                if (value == 0 || value == 1) WriteSetting(o.key, kChoices[value]);
                break;
            case Kind::Number:
                if (value > 0 && value < 65536) WriteSetting(o.key, std::to_string(value).c_str());
                break;
        }
    }
}

void Fill(uintptr_t dialog) {
    std::vector<platform::DialogItem> items = CurrentItems();
    for (size_t i = 0; i < items.size(); ++i) {
        const Option& o = kOptions[i];
        switch (o.kind) {
            case Kind::Flag: Send(dialog, o.item, kSetCheck, items[i].value); break;
            case Kind::Choice: Send(dialog, o.item, kListSetIndex, items[i].value); break;
            case Kind::Number: {
                std::string text = std::to_string(items[i].value);
                Send(dialog, o.item, kSetText, reinterpret_cast<intptr_t>(text.c_str()));
                break;
            }
        }
    }
}

void Store(uintptr_t dialog) {
    std::vector<platform::DialogItem> items = CurrentItems();
    for (size_t i = 0; i < items.size(); ++i) {
        const Option& o = kOptions[i];
        switch (o.kind) {
            case Kind::Flag: items[i].value = Send(dialog, o.item, kGetCheck, 0) == 1 ? 1 : 0; break;
            case Kind::Choice: items[i].value = static_cast<int>(Send(dialog, o.item, kListGetIndex, 0)); break;
            case Kind::Number: {
                const char* text = reinterpret_cast<const char*>(Send(dialog, o.item, kGetText, 0));
                char* end = nullptr;
                long value = text ? std::strtol(text, &end, 10) : 0;
                items[i].value = text && end != text && *end == '\0' && value > 0 && value < 65536
                                     ? static_cast<int>(value)
                                     : 0;
                break;
            }
        }
    }
    StoreItems(items);
}

intptr_t MIRAD_CALL DialogProc(uintptr_t dialog, char* item, intptr_t message, intptr_t, intptr_t) {
    try {
        if (message == kInitDialog) Fill(dialog);
        if (message == kClick && item && !std::strcmp(item, "btnOK")) Store(dialog);
    } catch (...) {
        // Whatever failed, the dialog closes as the user asked.
    }
    return 0;
}

void Line(std::string* form, int indent, const std::string& text) {
    form->append(static_cast<size_t>(indent), ' ');
    *form += text;
    *form += '\n';
}

// A label takes no focus and has no tab order (order < 0).
void Control(std::string* form, const char* name, const char* type, int left, int top, int width, int height,
             int order) {
    Line(form, 2, std::string("object ") + name + ": " + type);
    Line(form, 4, "Left = " + std::to_string(left));
    Line(form, 4, "Height = " + std::to_string(height));
    Line(form, 4, "Top = " + std::to_string(top));
    Line(form, 4, "Width = " + std::to_string(width));
    if (order >= 0) Line(form, 4, "TabOrder = " + std::to_string(order));
}

}  // namespace

void SetHostDialogApi(HostDialogBoxLfm dialogBox, HostDialogProc sendMessage) {
    g_dialogBox.store(dialogBox && sendMessage ? dialogBox : nullptr);
    g_sendMessage.store(dialogBox && sendMessage ? sendMessage : nullptr);
}

std::string SettingsForm() {
    // The field column starts past the longest label in the host's font.
    const int width = 520, field = 340, row = 30;
    int top = 12, order = 0;
    std::string body;
    for (const Option& o : kOptions) {
        std::string caption = std::string("'") + o.caption + "'";
        if (o.kind == Kind::Flag) {
            Control(&body, o.item, "TCheckBox", 12, top, width - 24, 24, order++);
            Line(&body, 4, "Caption = " + caption);
        } else {
            std::string label = std::string("lbl") + (o.item + 3);
            Control(&body, label.c_str(), "TLabel", 12, top + 4, field - 24, 20, -1);
            Line(&body, 4, "Caption = " + caption);
            Line(&body, 2, "end");
            Control(&body, o.item, o.kind == Kind::Choice ? "TComboBox" : "TEdit", field, top, width - field - 12,
                    28, order++);
            if (o.kind == Kind::Choice) {
                Line(&body, 4, "Style = csDropDownList");
                Line(&body, 4, "Items.Strings = (");
                for (const char* choice : kChoices) Line(&body, 6, std::string("'") + choice + "'");
                Line(&body, 4, ")");
            }
        }
        Line(&body, 2, "end");
        top += row;
    }
    top += 10;
    Control(&body, "btnOK", "TButton", width - 200, top, 90, 30, order++);
    Line(&body, 4, "Caption = 'OK'");
    Line(&body, 4, "Default = True");
    Line(&body, 4, "ModalResult = 1");
    Line(&body, 4, "OnClick = ButtonClick");
    Line(&body, 2, "end");
    Control(&body, "btnCancel", "TButton", width - 100, top, 90, 30, order++);
    Line(&body, 4, "Caption = 'Cancel'");
    Line(&body, 4, "Cancel = True");
    Line(&body, 4, "ModalResult = 2");
    Line(&body, 2, "end");
    const int height = top + 42;

    std::string form;
    Line(&form, 0, "object DialogBox: TDialogBox");
    Line(&form, 2, "Left = 0");
    Line(&form, 2, "Height = " + std::to_string(height));
    Line(&form, 2, "Top = 0");
    Line(&form, 2, "Width = " + std::to_string(width));
    Line(&form, 2, "BorderStyle = bsDialog");
    Line(&form, 2, "Caption = 'Mirad settings'");
    Line(&form, 2, "ClientHeight = " + std::to_string(height));
    Line(&form, 2, "ClientWidth = " + std::to_string(width));
    Line(&form, 2, "OnShow = DialogBoxShow");
    Line(&form, 2, "Position = poOwnerFormCenter");
    form += body;
    Line(&form, 0, "end");
    return form;
}

bool ShowSettingsDialog(void* parent) {
    if (SettingsPath().empty()) return false;
    // The system's own dialog where there is one, else the host's services.
    std::vector<platform::DialogItem> items = CurrentItems();
    switch (platform::ShowSystemDialog(parent, &items)) {
        case platform::DialogOutcome::Confirmed: StoreItems(items); return true;
        case platform::DialogOutcome::Cancelled: return true;
        case platform::DialogOutcome::Unavailable: break;
    }
    HostDialogBoxLfm dialogBox = g_dialogBox.load();
    if (!dialogBox) return false;
    std::string form = SettingsForm();
    dialogBox(reinterpret_cast<intptr_t>(form.data()), static_cast<uint32_t>(form.size()), DialogProc);
    return true;
}

}  // namespace mirad
