// The Services window. It is modal to the user (its owner, the settings
// window, is disabled while it is open) but runs in the player's own message
// loop, as the settings window does, so that the player keeps its keys and
// its timers. The form that adds or edits a service, and the questions before
// a removal, are modal dialogs over it.
#include "ui/services_window_win32.h"

// After windows.h, which it builds on.
#include <commctrl.h>

#include <string>
#include <utility>
#include <vector>

#include "diagnostics/debug.h"
#include "diagnostics/translate.h"
#include "diagnostics/wide_path_win32.h"
#include "engine/playtally.h"
#include "engine/settings_store.h"
#include "record/text_encoding.h"
#include "ui/plays_window_win32.h"
#include "ui/resource.h"
#include "ui/services_model.h"
#include "ui/status_text.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 5000;
constexpr int kColumns = 5;
const std::vector<ListColumn> kListColumns = {{TR_TEXT("Name"), 64},
                                              {TR_TEXT("Address"), 92},
                                              {TR_TEXT("User"), 56},
                                              {TR_TEXT("Status"), 86},
                                              {TR_TEXT("Waiting"), 48}};
constexpr int kFieldLimit = static_cast<int>(kSettingsTextBuffer) - 1;

const struct {
    ServiceField field;
    int id;
} kFieldControls[] = {{ServiceField::kName, IDC_SERVICE_NAME},
                      {ServiceField::kAddress, IDC_SERVICE_ADDRESS},
                      {ServiceField::kUser, IDC_SERVICE_USER},
                      {ServiceField::kPassword, IDC_SERVICE_PASSWORD}};

// An account's text, in the code page as Kelmar's own is kept and digested.
std::string CodePageText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::string text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(
        static_cast<size_t>(GetWindowTextA(control, &text[0], static_cast<int>(text.size()))));
    return text;
}

// The Kelmar Service form: the service edited (none when it is a new one) in,
// the form as OK took it out.
struct FormRequest {
    const ServiceSettings* stored;
    ServiceForm form;
};

INT_PTR CALLBACK ServiceFormProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return GuardedDialogCall("ServiceFormProc", [&]() -> INT_PTR {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const ServiceSettings* stored = reinterpret_cast<FormRequest*>(lParam)->stored;
            for (const auto& field : kFieldControls)
                SendDlgItemMessageW(dialog, field.id, EM_LIMITTEXT, kFieldLimit, 0);
            if (stored) {
                SetDialogText(dialog, IDC_SERVICE_NAME, stored->name);
                SetDialogText(dialog, IDC_SERVICE_ADDRESS, stored->handshakeUrl);
                SetDlgItemTextA(dialog, IDC_SERVICE_USER, stored->username.c_str());
            }
            CheckDlgButton(dialog, IDC_SERVICE_ENABLED,
                           !stored || stored->enabled != 0 ? BST_CHECKED : BST_UNCHECKED);
            SetDialogText(dialog, IDC_SERVICE_NOTE,
                          stored ? Tr("Leave the password empty to keep the stored one.") : "");
            CentreOnOwner(dialog);
            return TRUE;
        }
        if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return FALSE;
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        if (LOWORD(wParam) != IDOK) return FALSE;
        auto* request = reinterpret_cast<FormRequest*>(GetWindowLongPtrW(dialog, DWLP_USER));
        ServiceForm form;
        form.name = DialogText(dialog, IDC_SERVICE_NAME);
        form.handshakeUrl = DialogText(dialog, IDC_SERVICE_ADDRESS);
        form.username = CodePageText(dialog, IDC_SERVICE_USER);
        form.password = CodePageText(dialog, IDC_SERVICE_PASSWORD);
        form.enabled = IsDlgButtonChecked(dialog, IDC_SERVICE_ENABLED) == BST_CHECKED;
        ServiceField wrong = ServiceField::kNone;
        std::string refusal = ServiceFormRefusal(form, request->stored, &wrong);
        if (!refusal.empty()) {
            SetDlgItemTextW(dialog, IDC_SERVICE_NOTE, WidePath(refusal).c_str());
            for (const auto& field : kFieldControls) {
                if (field.field == wrong)
                    SendMessageW(dialog, WM_NEXTDLGCTL,
                                 reinterpret_cast<WPARAM>(GetDlgItem(dialog, field.id)), TRUE);
            }
            return TRUE;
        }
        request->form = std::move(form);
        EndDialog(dialog, IDOK);
        return TRUE;
    });
}

// What a row shows.
struct ServiceRow {
    int number;
    std::string texts[kColumns];
    bool operator==(const ServiceRow& other) const {
        if (number != other.number) return false;
        for (int i = 0; i < kColumns; ++i) {
            if (texts[i] != other.texts[i]) return false;
        }
        return true;
    }
};

class CServicesWindow {
  public:
    bool Open(CPlaytally* engine, HWND owner);
    void Close();

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInit();
    void OnCommand(int id);
    // The rows read again from the engine; the list is remade only when they changed.
    void Refresh();
    void EnableButtons();
    // The selected row's service; 0 when none is.
    int SelectedNumber() const;
    // The form for a new service (number 0) or the service `number`, then
    // what it took saved.
    void AddOrEdit(int number);
    void Remove();
    bool AskYes(const std::string& question);

    HWND m_window = nullptr;
    HWND m_owner = nullptr;
    HWND m_list = nullptr;
    CPlaytally* m_engine = nullptr;
    std::vector<ServiceRow> m_rows;
};

CServicesWindow g_services;

bool CServicesWindow::Open(CPlaytally* engine, HWND owner) {
    if (m_window && IsWindow(m_window)) {
        ShowWindow(m_window, SW_SHOWNORMAL);
        SetForegroundWindow(m_window);
        return true;
    }
    if (!DialogModule() || !engine) return false;
    if (!ListViewAvailable("CServicesWindow::Open")) return false;
    m_engine = engine;
    m_owner = owner;
    HWND window = CreateDialogShown(DialogModule(), IDD_SERVICES, owner,
                                    &CServicesWindow::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!window) {
        g_Debug.Log(DEBUG_ERROR, "CServicesWindow::Open",
                    "Failed to create the Services window - %lu", GetLastError());
        return false;
    }
    if (owner) EnableWindow(owner, FALSE);
    ShowWindow(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
    return true;
}

void CServicesWindow::Close() {
    // The owner first, so that it is the window activated next.
    if (m_owner && IsWindow(m_owner)) EnableWindow(m_owner, TRUE);
    if (m_window && IsWindow(m_window)) DestroyWindow(m_window);
    m_window = nullptr;
}

INT_PTR CALLBACK CServicesWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<CServicesWindow*>(lParam)->m_window = window;
    }
    auto* self = reinterpret_cast<CServicesWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self) return FALSE;
    return GuardedDialogCall("CServicesWindow::DialogProc",
                             [&] { return self->OnMessage(message, wParam, lParam); });
}

INT_PTR CServicesWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInit();
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->hwndFrom == m_list && header->code == LVN_ITEMCHANGED) EnableButtons();
            if (header->hwndFrom == m_list && header->code == NM_DBLCLK && SelectedNumber())
                AddOrEdit(SelectedNumber());
            return TRUE;
        }
        case WM_COMMAND:
            if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click or Enter
            return TRUE;
        case WM_TIMER:
            if (wParam == kRefreshTimer) Refresh();
            return TRUE;
        case WM_CLOSE:
            Close();
            return TRUE;
        case WM_DESTROY:
            HookDialogKeys(m_window, false);
            KillTimer(m_window, kRefreshTimer);
            if (m_owner && IsWindow(m_owner)) EnableWindow(m_owner, TRUE);
            return TRUE;
        case WM_NCDESTROY:
            m_window = nullptr;
            m_list = nullptr;
            m_rows.clear();
            return FALSE;
        default:
            return FALSE;
    }
}

void CServicesWindow::OnInit() {
    HookDialogKeys(m_window, true);
    CentreOnOwner(m_window);
    m_list = GetDlgItem(m_window, IDC_SERVICES_LIST);
    SetUpListView(m_window, m_list, kListColumns);
    m_rows.clear();
    Refresh();
    SetTimer(m_window, kRefreshTimer, kRefreshMs, nullptr);
}

void CServicesWindow::OnCommand(int id) {
    switch (id) {
        case IDCANCEL:
            Close();
            break;
        case IDC_SERVICES_ADD:
            AddOrEdit(0);
            break;
        case IDOK:  // Enter: on a row, it edits it
        case IDC_SERVICES_EDIT:
            if (SelectedNumber() && (id == IDC_SERVICES_EDIT || GetFocus() == m_list))
                AddOrEdit(SelectedNumber());
            break;
        case IDC_SERVICES_REMOVE:
            Remove();
            break;
        default:
            break;
    }
}

void CServicesWindow::Refresh() {
    std::vector<ServiceRow> rows;
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        ServiceSettings service = m_engine->GetService(number);
        if (!service.IsSet()) continue;
        ServiceState state = m_engine->GetServiceState(number);
        rows.push_back({number,
                        {service.name, service.handshakeUrl, Utf8OrAnsi(service.username),
                         !service.enabled            ? Tr(kServiceSwitchedOff)
                         : IsOwnStatus(state.status) ? TrStatus(state.status)
                                                     : state.status,
                         state.waiting < 0 ? std::string() : std::to_string(state.waiting)}});
    }
    if (!(rows == m_rows)) {
        int selected = SelectedNumber();
        SendMessageW(m_list, LVM_DELETEALLITEMS, 0, 0);
        for (size_t i = 0; i < rows.size(); ++i) {
            for (int column = 0; column < kColumns; ++column) {
                std::wstring text = WidePath(rows[i].texts[column]);
                LVITEMW item = {};
                item.mask = LVIF_TEXT;
                item.iItem = static_cast<int>(i);
                item.iSubItem = column;
                item.pszText = &text[0];
                if (column == 0 && rows[i].number == selected) {
                    item.mask |= LVIF_STATE;
                    item.state = item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
                }
                SendMessageW(m_list, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW, i,
                             reinterpret_cast<LPARAM>(&item));
            }
        }
        m_rows = std::move(rows);
    }
    EnableWindow(GetDlgItem(m_window, IDC_SERVICES_ADD),
                 FreeServiceNumber(*m_engine) != 0 ? TRUE : FALSE);
    EnableButtons();
}

void CServicesWindow::EnableButtons() {
    BOOL selected = SelectedNumber() != 0 ? TRUE : FALSE;
    EnableWindow(GetDlgItem(m_window, IDC_SERVICES_EDIT), selected);
    EnableWindow(GetDlgItem(m_window, IDC_SERVICES_REMOVE), selected);
}

int CServicesWindow::SelectedNumber() const {
    if (!m_list) return 0;
    auto row = static_cast<size_t>(
        SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    return row < m_rows.size() ? m_rows[row].number : 0;
}

void CServicesWindow::AddOrEdit(int number) {
    ServiceSettings stored = number ? m_engine->GetService(number) : ServiceSettings();
    if (number == 0 && FreeServiceNumber(*m_engine) == 0) return;
    FormRequest request{number ? &stored : nullptr, ServiceForm()};
    if (DialogBoxShown(DialogModule(), IDD_SERVICE, m_window, &ServiceFormProc,
                       reinterpret_cast<LPARAM>(&request)) != IDOK)
        return;
    // The form let the player run: the window may have gone with the plug-in.
    if (!m_window) return;
    if (number == 0) number = FreeServiceNumber(*m_engine);
    if (number == 0) return;
    m_engine->SetService(number, ServiceFromForm(request.form, request.stored));
    Refresh();
}

void CServicesWindow::Remove() {
    int number = SelectedNumber();
    if (number == 0) return;
    std::string name = m_engine->GetService(number).name;
    if (!AskYes(RemoveServiceQuestion(name)) || !m_window) return;
    int waiting = m_engine->GetServiceState(number).waiting;
    bool discard = waiting != 0 && AskYes(DiscardPlaysQuestion(name, waiting));
    if (!m_window) return;
    m_engine->RemoveService(number, discard);
    Refresh();
}

bool CServicesWindow::AskYes(const std::string& question) {
    return MessageBoxW(m_window, WidePath(question).c_str(),
                       WidePath(Tr("Kelmar Services")).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

bool OpenServicesWindow(CPlaytally* engine, HWND owner) {
    return g_services.Open(engine, owner);
}
