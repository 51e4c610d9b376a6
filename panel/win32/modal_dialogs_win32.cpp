#include "modal_dialogs_win32.h"

#include <vector>

#include "panel_shell_win32.h"
#include "panel_system_win32.h"

namespace {

// The list box and the edit field whose changes the handlers follow.
constexpr int kListControl = 1000;
constexpr int kEditControl = 1001;

class Win32DialogControls : public DialogControls {
  public:
    explicit Win32DialogControls(HWND dialog) : dialog_(dialog) {}

    void SetTitle(const std::u16string& text) override { SetWindowTextW(dialog_, Wide(text)); }
    void SetItemText(int id, const std::u16string& text) override {
        SetWindowTextW(GetDlgItem(dialog_, id), Wide(text));
    }
    std::u16string ItemText(int id) override {
        HWND item = GetDlgItem(dialog_, id);
        if (item == nullptr)
            return std::u16string();
        std::vector<wchar_t> buffer(static_cast<size_t>(GetWindowTextLengthW(item)) + 1);
        const UINT got =
            GetDlgItemTextW(dialog_, id, buffer.data(), static_cast<int>(buffer.size()));
        return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), got);
    }
    void EnableItem(int id, bool enable) override {
        EnableWindow(GetDlgItem(dialog_, id), enable ? TRUE : FALSE);
    }
    void ShowItem(int id, bool show) override {
        ::ShowWindow(GetDlgItem(dialog_, id), show ? SW_SHOW : SW_HIDE);
    }
    void ListAdd(int id, const std::u16string& text) override {
        SendDlgItemMessageW(dialog_, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
    }
    int ListSelection(int id) override {
        const LRESULT selection = SendDlgItemMessageW(dialog_, id, LB_GETCURSEL, 0, 0);
        return selection == LB_ERR ? -1 : static_cast<int>(selection);
    }
    std::u16string ListText(int id, int index) override {
        const LRESULT length = SendDlgItemMessageW(dialog_, id, LB_GETTEXTLEN, index, 0);
        if (length == LB_ERR)
            return std::u16string();
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
        const LRESULT got = SendDlgItemMessageW(dialog_, id, LB_GETTEXT, index,
                                                reinterpret_cast<LPARAM>(buffer.data()));
        if (got == LB_ERR)
            return std::u16string();
        return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()),
                              static_cast<size_t>(got));
    }
    void MoveTo(int screenX, int screenY) override {
        SetWindowPos(dialog_, nullptr, screenX, screenY, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

  private:
    HWND dialog_;
};

INT_PTR CALLBACK ModalProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        const auto& handlers = *reinterpret_cast<const ModalDialogHost::Handlers*>(lParam);
        Win32DialogControls controls(window);
        if (handlers.onInit)
            handlers.onInit(controls);
        return TRUE;
    }
    const auto* stored =
        reinterpret_cast<const ModalDialogHost::Handlers*>(GetWindowLongPtrW(window, DWLP_USER));
    if (stored == nullptr || message != WM_COMMAND)
        return FALSE;
    const ModalDialogHost::Handlers& handlers = *stored;
    Win32DialogControls controls(window);
    const int id = LOWORD(wParam), code = HIWORD(wParam);
    switch (id) {
        case IDOK:
            if (!handlers.onOk || handlers.onOk(controls))
                EndDialog(window, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(window, IDCANCEL);
            return TRUE;
        default:
            if ((id == kListControl && code == LBN_SELCHANGE) ||
                (id == kEditControl && code == EN_CHANGE)) {
                if (handlers.onCommand)
                    handlers.onCommand(controls, id, code);
                return TRUE;
            }
            return FALSE;
    }
}

}  // namespace

int Win32ModalDialogs::RunModal(ResourceModule& skin, uint16_t templateId,
                                const Handlers& handlers) {
    auto* win32 = dynamic_cast<Win32ResourceModule*>(&skin);
    if (win32 == nullptr)
        return -1;
    DWORD size = 0;
    const void* dialogTemplate = win32->Locate(kResourceDialog, templateId, &size);
    if (dialogTemplate == nullptr)
        return -1;
    const INT_PTR result = DialogBoxIndirectParamW(
        win32->Handle(), static_cast<LPCDLGTEMPLATEW>(dialogTemplate), shell_.Window(),
        ModalProcedure, reinterpret_cast<LPARAM>(&handlers));
    return static_cast<int>(result);
}
