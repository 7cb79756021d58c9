// The settings dialog from the module's resources.
#include <windows.h>

#include <string>

#include "platform/dialog.h"
#include "platform/win32_dialog.h"
#include "platform/win32_text.h"

namespace mirad {
namespace platform {

extern HMODULE g_module;

namespace {

const int kRows = kDialogFlags + 2;

bool Matches(const std::vector<DialogItem>& items) {
    if (items.size() != static_cast<size_t>(kRows)) return false;
    for (int i = 0; i < kDialogFlags; ++i)
        if (items[i].kind != DialogItem::Kind::Flag) return false;
    return items[kDialogFlags].kind == DialogItem::Kind::Choice &&
           items[kDialogFlags + 1].kind == DialogItem::Kind::Number;
}

void Init(HWND dialog, const std::vector<DialogItem>& items) {
    for (int i = 0; i < kRows; ++i) {
        const DialogItem& item = items[i];
        int id = MIRAD_IDC_ROW + i;
        switch (item.kind) {
            case DialogItem::Kind::Flag:
                SetDlgItemTextW(dialog, id, Wide(item.caption).c_str());
                CheckDlgButton(dialog, id, item.value ? BST_CHECKED : BST_UNCHECKED);
                break;
            case DialogItem::Kind::Choice:
                SetDlgItemTextW(dialog, MIRAD_IDC_LABEL + i, Wide(item.caption).c_str());
                for (const std::string& choice : item.choices)
                    SendDlgItemMessageW(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(choice).c_str()));
                SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(item.value), 0);
                break;
            case DialogItem::Kind::Number:
                SetDlgItemTextW(dialog, MIRAD_IDC_LABEL + i, Wide(item.caption).c_str());
                SetDlgItemInt(dialog, id, static_cast<UINT>(item.value), FALSE);
                break;
        }
    }
}

void Read(HWND dialog, std::vector<DialogItem>* items) {
    for (int i = 0; i < kRows; ++i) {
        DialogItem& item = (*items)[i];
        int id = MIRAD_IDC_ROW + i;
        switch (item.kind) {
            case DialogItem::Kind::Flag: item.value = IsDlgButtonChecked(dialog, id) == BST_CHECKED; break;
            case DialogItem::Kind::Choice: {
                LRESULT index = SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
                if (index >= 0) item.value = static_cast<int>(index);
                break;
            }
            case DialogItem::Kind::Number: {
                BOOL ok = FALSE;
                UINT n = GetDlgItemInt(dialog, id, &ok, FALSE);
                item.value = ok ? static_cast<int>(n) : 0;  // 0: no number given
                break;
            }
        }
    }
}

INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            Init(dialog, *reinterpret_cast<std::vector<DialogItem>*>(lParam));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                Read(dialog, reinterpret_cast<std::vector<DialogItem>*>(GetWindowLongPtrW(dialog, DWLP_USER)));
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

}  // namespace

DialogOutcome ShowSystemDialog(void* parent, std::vector<DialogItem>* items) {
    if (!items || !Matches(*items)) return DialogOutcome::Unavailable;
    INT_PTR result = DialogBoxParamW(g_module, MAKEINTRESOURCEW(MIRAD_IDD_SETTINGS), static_cast<HWND>(parent),
                                     Procedure, reinterpret_cast<LPARAM>(items));
    if (result == -1) return DialogOutcome::Unavailable;
    return result == IDOK ? DialogOutcome::Confirmed : DialogOutcome::Cancelled;
}

}  // namespace platform
}  // namespace mirad
