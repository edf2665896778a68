// The Plays window. Everything that reads files or the whole cache, or sorts
// or frees the rows, runs on a thread of its own (see
// CPlaytally::RunInBackground): the player's thread only swaps in what such a
// thread made. The timer looks at the engine's count of changes, so that a
// look with nothing changed costs next to nothing.
#include <windows.h>

// After windows.h, which they build on.
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_manager.h"
#include "diagnostics/debug.h"
#include "diagnostics/format.h"
#include "diagnostics/translate.h"
#include "diagnostics/utf16.h"
#include "diagnostics/wide_path_win32.h"
#include "engine/corrections.h"
#include "engine/playtally.h"
#include "record/text_encoding.h"
#include "ui/plays_model.h"
#include "ui/plays_window_win32.h"
#include "ui/resource.h"
#include "ui/status_text.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 500;
constexpr int kPauseSeconds = 3600;
const char* const kColumnNames[kPlayColumns] = {TR_TEXT("Played"),  TR_TEXT("Artist"),
                                                TR_TEXT("Title"),   TR_TEXT("Album"),
                                                TR_TEXT("Account"), TR_TEXT("Status")};
// Dialog units, wide enough for each language's titles.
const int kColumnWidths[kPlayColumns] = {84, 72, 86, 72, 60, 80};
constexpr int kServiceColumnWidth = 52;

// The common controls and dialogs are loaded when the window first opens, and
// stay: linked, they would come and go with every load of the plug-in, and
// under Wine each round leaves handles behind.
template <typename Function>
Function SystemFunction(const wchar_t* library, const char* name) {
    HMODULE module = GetModuleHandleW(library);
    if (!module) module = LoadLibraryW(library);
    return module
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
               : nullptr;
}

// A row as a selection is kept across a reload: what it shows, and whether it
// waits. Two plays alike in all of it are one to the eye as well.
std::string RowKey(const PlayRow& row) {
    return (row.cacheIndex >= 0 ? "w" : "h") + row.playedUtc + '\t' + row.artist + '\t' +
           row.title + '\t' + row.album + '\t' + row.atUtc + '\t' + row.service;
}

// Whether plays go to more services than Kelmar.
bool HasExtraServices(CPlaytally* engine) {
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        if (engine->GetService(number).IsSet()) return true;
    }
    return false;
}

// The plays waiting for Kelmar and for each extra service set, as they are now.
std::vector<ServicePlays> WaitingForEveryService(CPlaytally* engine) {
    std::vector<ServicePlays> services(1);
    services[0].name = engine->ServiceName(kKelmarService);
    services[0].account = engine->GetSettings().username;
    services[0].plays = engine->GetWaitingPlays(&services[0].taken);
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        ServiceSettings settings = engine->GetService(number);
        if (!settings.IsSet()) continue;
        ServicePlays service;
        service.service = settings.id;
        service.name = settings.name;
        service.account = settings.username;
        service.plays = engine->GetWaitingPlays(&service.taken, settings.id);
        services.push_back(std::move(service));
    }
    return services;
}

// Plays to act on, by the service whose cache holds them.
using PlaysByService = std::map<std::string, std::vector<Submission>>;
int CountOf(const PlaysByService& plays) {
    int count = 0;
    for (const auto& service : plays)
        count += static_cast<int>(service.second.size());
    return count;
}

// What act(plays, service) did to each service's plays, summed.
template <class Act>
CPlaytally::PlaysActedOn ActOnEach(const PlaysByService& plays, Act act) {
    CPlaytally::PlaysActedOn all;
    for (const auto& service : plays) {
        CPlaytally::PlaysActedOn one = act(service.second, service.first);
        all.done += one.done;
        all.beingSent += one.beingSent;
    }
    return all;
}

// Where the rows with these keys are.
std::vector<size_t> RowsWithKeys(const std::vector<PlayRow>& rows,
                                 const std::set<std::string>& keys) {
    std::vector<size_t> found;
    for (size_t i = 0; !keys.empty() && i < rows.size(); ++i) {
        if (keys.count(RowKey(rows[i]))) found.push_back(i);
    }
    return found;
}

// What a thread off the player's made, taken by the timer once `done`.
struct Job {
    std::atomic<bool> done{false};
    bool failed = false;
    std::string note;  // an action's outcome, or what failed
    // A load's: the rows in the order of `sortColumn`, and where in them the
    // rows selected when it started are.
    PlaysView view;
    int sortColumn = -1;
    bool ascending = true;
    std::set<std::string> selectedKeys;
    std::vector<size_t> selectedRows;
};

// What a job that fails says: in English in the log, in the user's language
// as its note; `english` may name `subject` with "%s".
struct Failure {
    std::string logged, shown;
};
Failure FailureOf(const char* english, const std::string& subject = std::string()) {
    return {Format(english, subject.c_str()), Format(Tr(english), subject.c_str())};
}

// Runs `work` off the player's thread. However it ends the job is done: an
// exception leaves "`failure` (what)." as its note.
bool RunJob(CPlaytally* engine, const std::shared_ptr<Job>& job, const Failure& failure,
            std::function<void(Job&)> work) {
    return engine->RunInBackground([job, failure, work] {
        std::string what;
        try {
            work(*job);
        } catch (const std::exception& e) {
            job->failed = true;
            what = e.what();
        } catch (...) {
            job->failed = true;
        }
        if (job->failed) {
            std::string why = what.empty() ? "." : " (" + what + ").";
            g_Debug.Log(DEBUG_ERROR, "CPlaysWindow", "%s%s", failure.logged.c_str(), why.c_str());
            job->note = failure.shown + why;
        }
        job->done = true;
    });
}

enum class WaitingFor { kAnyAccount, kAnotherAccount };

// A play's texts as the Edit play dialog shows them and gives them back.
struct PlayTexts {
    std::string artist, title, album;
};

// Edit play: OK gives the texts, trimmed, once artist and title are there.
INT_PTR CALLBACK EditPlayProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return GuardedDialogCall("EditPlayProc", [&]() -> INT_PTR {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const auto* texts = reinterpret_cast<const PlayTexts*>(lParam);
            SetDialogText(dialog, IDC_EDIT_ARTIST, texts->artist);
            SetDialogText(dialog, IDC_EDIT_TITLE, texts->title);
            SetDialogText(dialog, IDC_EDIT_ALBUM, texts->album);
            CentreOnOwner(dialog);
            return TRUE;
        }
        if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return FALSE;
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        if (LOWORD(wParam) != IDOK) return FALSE;
        PlayTexts edited{TrimSpace(DialogText(dialog, IDC_EDIT_ARTIST)),
                         TrimSpace(DialogText(dialog, IDC_EDIT_TITLE)),
                         TrimSpace(DialogText(dialog, IDC_EDIT_ALBUM))};
        if (edited.artist.empty() || edited.title.empty()) {
            // The service refuses a play without them.
            SetDialogText(dialog, IDC_EDIT_NOTE,
                          Tr("A play needs an artist and a title: the service refuses it "
                             "without them."));
            HWND empty =
                GetDlgItem(dialog, edited.artist.empty() ? IDC_EDIT_ARTIST : IDC_EDIT_TITLE);
            SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(empty), TRUE);
            return TRUE;
        }
        *reinterpret_cast<PlayTexts*>(GetWindowLongPtrW(dialog, DWLP_USER)) = std::move(edited);
        EndDialog(dialog, IDOK);
        return TRUE;
    });
}

class CPlaysWindow {
  public:
    bool Open(CPlaytally* engine, HWND owner);
    void Close() {
        if (m_window && IsWindow(m_window)) DestroyWindow(m_window);
        m_window = nullptr;
    }

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInit();
    void OnTimer();
    void StartLoad();
    void OnNotify(const NMHDR* header);
    void OnCommand(int id);
    void Remove();
    void Edit();
    // The selected row when it is the only one, a waiting play that no flush
    // is sending, and no action is running; else nullptr.
    PlayRow* EditableRow();
    void EnableEdit();
    void SendWithThisAccount();
    void Export();
    // Opens the correction file in Notepad, made first when missing.
    void OpenCorrections();
    // Runs `action` off the player's thread, showing `pending` until it is
    // done, and `failure` if it fails.
    void RunAction(const std::string& pending, const Failure& failure,
                   std::function<std::string()> action);
    // The selected rows, by their place in m_view.rows.
    std::vector<size_t> SelectedRows() const;
    std::set<std::string> SelectedKeys() const;
    void Select(const std::vector<size_t>& rows);
    // The selected rows of waiting plays, for any account or another only.
    std::vector<PlayRow*> SelectedWaitingRows(WaitingFor account);
    // Their plays, as in the copy of the caches the rows were read from.
    PlaysByService PlaysOf(const std::vector<PlayRow*>& rows) const;
    // The waiting rows of this play of this service, as the rows are now.
    std::vector<PlayRow*> RowsOf(const Submission& play, const std::string& service);
    // Shows `status` on the rows until the next load.
    void MarkRows(const std::vector<PlayRow*>& rows, const char* status);
    void ShowStatus();
    // A hundred thousand rows take a while to free: not on the player's thread.
    void FreeInBackground(PlaysView view) {
        auto rows = std::make_shared<PlaysView>(std::move(view));
        m_engine->RunInBackground([rows]() mutable { rows.reset(); });
    }

    HWND m_window = nullptr;
    HWND m_list = nullptr;
    CPlaytally* m_engine = nullptr;
    PlaysView m_view;
    bool m_loaded = false;
    unsigned m_seenChanges = 0;
    std::shared_ptr<Job> m_load;
    std::shared_ptr<Job> m_action;
    std::string m_note;
    std::string m_readFailure;  // the note of the last load that failed
    std::string m_shownStatus;
    bool m_shownPause = false;  // the pause button says Resume
    bool m_shownEdit = false;   // Edit... is enabled
    int m_sortColumn = -1;
    bool m_ascending = true;
    int m_columns = kPlayColumns;
};

CPlaysWindow g_plays;

bool CPlaysWindow::Open(CPlaytally* engine, HWND owner) {
    if (m_window && IsWindow(m_window)) {
        ShowWindow(m_window, SW_SHOWNORMAL);
        SetForegroundWindow(m_window);
        return true;
    }
    if (!DialogModule() || !engine) return false;
    if (!ListViewAvailable("CPlaysWindow::Open")) return false;
    m_engine = engine;
    HWND window = CreateDialogShown(DialogModule(), IDD_PLAYS, owner, &CPlaysWindow::DialogProc,
                                    reinterpret_cast<LPARAM>(this));
    if (!window) {
        g_Debug.Log(DEBUG_ERROR, "CPlaysWindow::Open", "Failed to create the Plays window - %lu",
                    GetLastError());
        return false;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
    return true;
}

INT_PTR CALLBACK CPlaysWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<CPlaysWindow*>(lParam)->m_window = window;
    }
    auto* self = reinterpret_cast<CPlaysWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self) return FALSE;
    return GuardedDialogCall("CPlaysWindow::DialogProc",
                             [&] { return self->OnMessage(message, wParam, lParam); });
}

INT_PTR CPlaysWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInit();
            return TRUE;
        case WM_NOTIFY:
            OnNotify(reinterpret_cast<const NMHDR*>(lParam));
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click or Enter
            return TRUE;
        case WM_TIMER:
            if (wParam == kRefreshTimer) OnTimer();
            return TRUE;
        case WM_CLOSE:
            Close();
            return TRUE;
        case WM_DESTROY:
            HookDialogKeys(m_window, false);
            KillTimer(m_window, kRefreshTimer);
            return TRUE;
        case WM_NCDESTROY:
            // What runs in the background finishes into jobs no one takes.
            m_window = nullptr;
            m_list = nullptr;
            FreeInBackground(std::exchange(m_view, PlaysView()));
            m_load.reset();
            m_action.reset();
            m_note.clear();
            m_loaded = false;
            return FALSE;
        default:
            return FALSE;
    }
}

void CPlaysWindow::OnInit() {
    HookDialogKeys(m_window, true);
    CentreOnOwner(m_window);
    m_list = GetDlgItem(m_window, IDC_PLAYS_LIST);
    // The service of each play shows while there is more than one.
    m_columns = HasExtraServices(m_engine) ? kServiceColumn + 1 : kPlayColumns;
    std::vector<ListColumn> columns;
    for (int column = 0; column < kPlayColumns; ++column)
        columns.push_back({kColumnNames[column], kColumnWidths[column]});
    if (m_columns > kPlayColumns) columns.push_back({TR_TEXT("Service"), kServiceColumnWidth});
    SetUpListView(m_window, m_list, columns);
    m_shownStatus.clear();
    m_shownPause = false;
    m_shownEdit = false;
    StartLoad();
    ShowStatus();
    SetTimer(m_window, kRefreshTimer, kRefreshMs, nullptr);
}

void CPlaysWindow::StartLoad() {
    auto job = std::make_shared<Job>();
    job->sortColumn = m_sortColumn;
    job->ascending = m_ascending;
    job->selectedKeys = SelectedKeys();
    CPlaytally* engine = m_engine;
    // Taken before the reading, so that a change while it reads is read again.
    m_seenChanges = engine->PlaysChanges();
    // Sorted there too: a sort of a hundred thousand rows is no work for the
    // player's thread.
    if (!RunJob(engine, job, FailureOf(TR_TEXT("Could not read the plays")), [engine](Job& job) {
            job.view = ReadPlays(WaitingForEveryService(engine), engine->GetSettings().username,
                                 engine->m_history.Texts());
            if (job.sortColumn >= 0) SortRows(&job.view.rows, job.sortColumn, job.ascending);
            job.selectedRows = RowsWithKeys(job.view.rows, job.selectedKeys);
        })) {
        g_Debug.Log(DEBUG_ERROR, "CPlaysWindow::StartLoad", "Failed to start reading the plays");
        m_seenChanges = ~m_seenChanges;  // tried again at the next tick
        return;
    }
    m_load = job;
}

void CPlaysWindow::OnTimer() {
    if (m_action && m_action->done) {
        m_note = m_action->note;
        m_action.reset();
    }
    if (m_load && m_load->done) {
        std::shared_ptr<Job> load = std::move(m_load);
        if (load->failed) {
            m_note = m_readFailure = load->note;  // read again at the next change
        } else {
            if (m_note == m_readFailure) m_note.clear();
            std::set<std::string> selected = SelectedKeys();
            FreeInBackground(std::exchange(m_view, std::move(load->view)));
            m_loaded = true;
            // The count first: the list selects no row past the count it has.
            // (Under Wine a new count costs milliseconds a hundred thousand rows.)
            if (SendMessageW(m_list, LVM_GETITEMCOUNT, 0, 0) !=
                static_cast<LRESULT>(m_view.rows.size()))
                SendMessageW(m_list, LVM_SETITEMCOUNT, m_view.rows.size(), LVSICF_NOSCROLL);
            Select(selected == load->selectedKeys ? load->selectedRows
                                                  : RowsWithKeys(m_view.rows, selected));
            InvalidateRect(m_list, nullptr, FALSE);
            // A header clicked while it read: read again in the new order.
            if (load->sortColumn != m_sortColumn || load->ascending != m_ascending)
                m_seenChanges = ~m_seenChanges;
        }
    }
    // A new account changes which plays wait for another one.
    if (!m_load && !m_action &&
        (m_engine->PlaysChanges() != m_seenChanges ||
         (m_loaded && m_engine->GetSettings().username != m_view.account)))
        StartLoad();
    ShowStatus();
    EnableEdit();
}

void CPlaysWindow::ShowStatus() {
    int64_t pausedUntil = m_engine->PausedUntil();
    if ((pausedUntil != 0) != m_shownPause) {
        m_shownPause = pausedUntil != 0;
        SetDlgItemTextW(m_window, IDC_PLAYS_PAUSE,
                        WidePath(m_shownPause ? Tr("Resu&me") : Tr("&Pause for an hour")).c_str());
    }
    std::string status = m_loaded         ? PlaysStatusLine(m_view, m_engine->m_clockSkewMinutes,
                                                            pausedUntil, m_engine->PauseKeptOut(), m_note)
                         : m_note.empty() ? std::string(Tr("Reading the plays..."))
                                          : m_note;
    if (status == m_shownStatus) return;
    SetDlgItemTextW(m_window, IDC_PLAYS_STATUS, WidePath(status).c_str());
    m_shownStatus = std::move(status);
}

std::vector<size_t> CPlaysWindow::SelectedRows() const {
    std::vector<size_t> rows;
    if (SendMessageW(m_list, LVM_GETSELECTEDCOUNT, 0, 0) == 0)
        return rows;  // a search of every row
    for (int i = -1;
         (i = static_cast<int>(SendMessageW(m_list, LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0 &&
         static_cast<size_t>(i) < m_view.rows.size();)
        rows.push_back(static_cast<size_t>(i));
    return rows;
}

std::set<std::string> CPlaysWindow::SelectedKeys() const {
    std::set<std::string> keys;
    for (size_t i : SelectedRows())
        keys.insert(RowKey(m_view.rows[i]));
    return keys;
}

void CPlaysWindow::Select(const std::vector<size_t>& rows) {
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&state));
    state.state = LVIS_SELECTED;
    for (size_t row : rows)
        SendMessageW(m_list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
}

void CPlaysWindow::OnNotify(const NMHDR* header) {
    if (header->hwndFrom != m_list) return;
    if (header->code == LVN_GETDISPINFOW) {
        const LVITEMW& item = reinterpret_cast<const NMLVDISPINFOW*>(header)->item;
        if (!(item.mask & LVIF_TEXT) || item.iItem < 0 ||
            static_cast<size_t>(item.iItem) >= m_view.rows.size() || item.cchTextMax <= 0)
            return;
        const PlayRow& row = m_view.rows[static_cast<size_t>(item.iItem)];
        // The Status column in the user's language.
        std::wstring text =
            WidePath(item.iSubItem == 0               ? LocalPlayedTime(row.playedUtc)
                     : item.iSubItem == kStatusColumn ? TrStatus(row.status)
                                                      : ColumnText(row, item.iSubItem));
        lstrcpynW(item.pszText, text.c_str(), item.cchTextMax);
    } else if (header->code == LVN_COLUMNCLICK) {
        int column = reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem;
        m_ascending = column == m_sortColumn ? !m_ascending : true;
        m_sortColumn = column;
        // Read again in that order, off this thread.
        m_seenChanges = ~m_engine->PlaysChanges();
        if (!m_load && !m_action) StartLoad();
    } else if (header->code == LVN_ITEMCHANGED || header->code == LVN_ODSTATECHANGED) {
        EnableEdit();
    } else if (header->code == NM_DBLCLK) {
        if (EditableRow()) Edit();
    } else if (header->code == LVN_KEYDOWN &&
               reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == 'A' &&
               GetKeyState(VK_CONTROL) < 0) {
        LVITEMW state = {};
        state.state = state.stateMask = LVIS_SELECTED;
        SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(&state));
    }
}

void CPlaysWindow::OnCommand(int id) {
    switch (id) {
        case IDCANCEL:
            Close();
            break;
        case IDOK:  // Enter on the list
            if (GetFocus() == m_list && EditableRow()) Edit();
            break;
        case IDC_PLAYS_EDIT:
            Edit();
            break;
        case IDC_PLAYS_REMOVE:
            Remove();
            break;
        case IDC_PLAYS_SEND:
            SendWithThisAccount();
            break;
        case IDC_PLAYS_EXPORT:
            Export();
            break;
        case IDC_PLAYS_PAUSE:
            if (m_engine->PausedUntil() != 0) {
                m_engine->ResumeSubmissions();
            } else {
                m_engine->PauseSubmissions(kPauseSeconds);
            }
            ShowStatus();
            break;
        case IDC_PLAYS_CORRECTIONS:
            OpenCorrections();
            break;
        default:
            break;
    }
}

std::vector<PlayRow*> CPlaysWindow::SelectedWaitingRows(WaitingFor account) {
    std::vector<PlayRow*> rows;
    for (size_t i : SelectedRows()) {
        PlayRow& row = m_view.rows[i];
        if (row.cacheIndex >= 0 && (account == WaitingFor::kAnyAccount || row.otherAccount))
            rows.push_back(&row);
    }
    return rows;
}

std::vector<PlayRow*> CPlaysWindow::RowsOf(const Submission& play, const std::string& service) {
    std::vector<PlayRow*> rows;
    for (PlayRow& row : m_view.rows) {
        if (row.cacheIndex >= 0 && row.serviceId == service &&
            std::memcmp(&m_view.waiting[static_cast<size_t>(row.cacheIndex)], &play,
                        sizeof(play)) == 0)
            rows.push_back(&row);
    }
    return rows;
}

PlaysByService CPlaysWindow::PlaysOf(const std::vector<PlayRow*>& rows) const {
    PlaysByService plays;
    for (const PlayRow* row : rows)
        plays[row->serviceId].push_back(m_view.waiting[static_cast<size_t>(row->cacheIndex)]);
    return plays;
}

void CPlaysWindow::MarkRows(const std::vector<PlayRow*>& rows, const char* status) {
    for (PlayRow* row : rows)
        row->status = status;
    InvalidateRect(m_list, nullptr, FALSE);
}

void CPlaysWindow::Remove() {
    if (m_action) return;
    PlaysByService plays = PlaysOf(SelectedWaitingRows(WaitingFor::kAnyAccount));
    int count = CountOf(plays);
    if (count == 0) {
        m_note = Tr("Select the waiting plays to remove.");
        ShowStatus();
        return;
    }
    std::string question =
        Format(TrPlural(count, "Remove %d waiting play from the cache? It will not be sent.",
                        "Remove %d waiting plays from the cache? They will not be sent."),
               count);
    if (MessageBoxW(m_window, WidePath(question).c_str(), WidePath(Tr("Kelmar Plays")).c_str(),
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;
    // The box let the timer run: the rows may have been read again.
    MarkRows(SelectedWaitingRows(WaitingFor::kAnyAccount), TR_TEXT("Removing..."));
    CPlaytally* engine = m_engine;
    RunAction(Format(TrPlural(count, "Removing %d play...", "Removing %d plays..."), count),
              FailureOf(TR_TEXT("Could not remove the plays")), [engine, plays] {
                  CPlaytally::PlaysActedOn removed = ActOnEach(
                      plays,
                      [engine](const std::vector<Submission>& some, const std::string& service) {
                          return engine->RemoveWaitingPlays(some, service);
                      });
                  return Format(TrPlural(removed.done, "Removed %d play.", "Removed %d plays."),
                                removed.done) +
                         BeingSentNote(removed.beingSent);
              });
}

PlayRow* CPlaysWindow::EditableRow() {
    if (m_action || SendMessageW(m_list, LVM_GETSELECTEDCOUNT, 0, 0) != 1) return nullptr;
    auto i = static_cast<size_t>(
        SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (i >= m_view.rows.size() || m_view.rows[i].cacheIndex < 0) return nullptr;
    auto play = static_cast<size_t>(m_view.rows[i].cacheIndex);
    if (play < m_view.taken.size() && m_view.taken[play] != 0) return nullptr;
    return &m_view.rows[i];
}

void CPlaysWindow::EnableEdit() {
    bool enabled = EditableRow() != nullptr;
    if (enabled == m_shownEdit) return;
    m_shownEdit = enabled;
    EnableWindow(GetDlgItem(m_window, IDC_PLAYS_EDIT), enabled ? TRUE : FALSE);
}

void CPlaysWindow::Edit() {
    PlayRow* row = EditableRow();
    if (!row) {
        m_note = Tr("Select one waiting play to edit.");
        ShowStatus();
        return;
    }
    // The play and its service, kept by value: the rows may be read again
    // while the dialog is open.
    Submission play = m_view.waiting[static_cast<size_t>(row->cacheIndex)];
    std::string service = row->serviceId;
    PlayTexts texts{row->artist, row->title, row->album};
    row = nullptr;
    if (DialogBoxShown(DialogModule(), IDD_EDIT_PLAY, m_window, &EditPlayProc,
                       reinterpret_cast<LPARAM>(&texts)) != IDOK)
        return;
    // The dialog let the timer run: the rows may have been read again, and
    // the window may have gone with the plug-in.
    if (!m_window || m_action) return;
    if (texts.artist == play.Utf8Text(play.artist) && texts.title == play.Utf8Text(play.title) &&
        texts.album == play.Utf8Text(play.album))
        return;
    MarkRows(RowsOf(play, service), TR_TEXT("Editing..."));
    CPlaytally* engine = m_engine;
    RunAction(Tr("Editing 1 play..."), FailureOf(TR_TEXT("Could not edit the play")),
              [engine, play, texts, service] {
                  CPlaytally::PlaysActedOn edited = engine->EditWaitingPlay(
                      play, texts.artist, texts.title, texts.album, service);
                  return Format(TrPlural(edited.done, "Edited %d play.", "Edited %d plays."),
                                edited.done) +
                         BeingSentNote(edited.beingSent);
              });
    EnableEdit();
}

void CPlaysWindow::SendWithThisAccount() {
    if (m_action) return;
    std::vector<PlayRow*> rows = SelectedWaitingRows(WaitingFor::kAnotherAccount);
    PlaysByService plays = PlaysOf(rows);
    MarkRows(rows, TR_TEXT("Sending with this account..."));
    if (plays.empty()) {
        m_note = Tr("Select the plays waiting for another account.");
        ShowStatus();
        return;
    }
    CPlaytally* engine = m_engine;
    int count = CountOf(plays);
    RunAction(Format(TrPlural(count, "Tagging %d play with this account...",
                              "Tagging %d plays with this account..."),
                     count),
              FailureOf(TR_TEXT("Could not tag the plays")), [engine, plays] {
                  CPlaytally::PlaysActedOn tagged = ActOnEach(
                      plays,
                      [engine](const std::vector<Submission>& some, const std::string& service) {
                          return engine->SendWithCurrentAccount(some, service);
                      });
                  return Format(TrPlural(tagged.done, "%d play goes with this account.",
                                         "%d plays go with this account."),
                                tagged.done) +
                         BeingSentNote(tagged.beingSent);
              });
}

void CPlaysWindow::Export() {
    if (m_action) return;
    wchar_t file[4096] = L"kelmar-plays.csv";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = m_window;
    std::wstring filter = WidePath(Tr("CSV files (*.csv)")) + L'\0' + L"*.csv" + L'\0' +
                          WidePath(Tr("All files")) + L'\0' + L"*.*" + L'\0';
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof(file) / sizeof(file[0]);
    dialog.lpstrDefExt = L"csv";
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    auto askName =
        SystemFunction<BOOL(WINAPI*)(OPENFILENAMEW*)>(L"comdlg32.dll", "GetSaveFileNameW");
    if (!askName || !askName(&dialog)) return;
    std::string path = Utf8Path(file);
    CPlaytally* engine = m_engine;
    // Read afresh, so that the file holds every play even while the list is
    // still being read.
    RunAction(
        Format(Tr("Exporting to %s..."), path.c_str()),
        FailureOf(TR_TEXT("Could not write %s"), path), [engine, path] {
            auto start = std::chrono::steady_clock::now();
            // Replaced by the export, they would lose their plays.
            std::vector<std::string> kept = engine->m_history.Paths();
            kept.push_back(engine->GetDataDir() + kCacheFileName);
            for (const std::string& file : engine->PlaysFiles())
                kept.push_back(file);
            if (IsOneOfPaths(path, kept))
                return Format(
                    Tr("Not exported: %s holds the plug-in's plays; choose another file."),
                    path.c_str());
            int count = 0;
            if (!ExportPlays(path, WaitingForEveryService(engine), engine->m_history.Texts(),
                             HasExtraServices(engine), &count)) {
                g_Debug.Log(DEBUG_ERROR, "CPlaysWindow::Export", "Failed to write %s",
                            path.c_str());
                return Format(Tr("Could not write %s."), path.c_str());
            }
            g_Debug.Log(DEBUG_INFO, "CPlaysWindow::Export", "Exported %d plays to %s in %d ms",
                        count, path.c_str(),
                        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count()));
            return Format(TrPlural(count, "Exported %d play to %s.", "Exported %d plays to %s."),
                          count, path.c_str());
        });
}

void CPlaysWindow::RunAction(const std::string& pending, const Failure& failure,
                             std::function<std::string()> action) {
    auto job = std::make_shared<Job>();
    if (!RunJob(m_engine, job, failure, [action](Job& job) { job.note = action(); })) {
        m_note = Format(Tr("Could not start: %s"), pending.c_str());
    } else {
        m_note = pending;
        m_action = job;
    }
    ShowStatus();
}

}  // namespace

std::string DialogText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
    // Sent: a lone surrogate half becomes U+FFFD.
    return Utf16ToUtf8(std::u16string(text.begin(), text.end()), true);
}

namespace {

// Dialog `id`'s template (the extended form, as ours are) with its caption
// and its controls' texts in the user's language; empty in English, or for a
// template of another form.
std::vector<WORD> TranslatedTemplate(HINSTANCE module, int id) {
    std::vector<WORD> out;
    if (ShownLanguage().empty()) return out;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
    const auto* start =
        found ? static_cast<const WORD*>(LockResource(LoadResource(module, found))) : nullptr;
    if (!start || start[0] != 1 || start[1] != 0xFFFF) return out;
    const WORD* at = start;
    auto copy = [&](size_t words) {
        out.insert(out.end(), at, at + words);
        at += words;
    };
    // A name (up to its terminator) or 0xFFFF and an ordinal; a text is a
    // name looked up on its way.
    auto name = [&](bool text) {
        if (*at == 0xFFFF) return copy(2);
        std::u16string english;
        for (; *at; ++at)
            english += static_cast<char16_t>(*at);
        ++at;
        std::string utf8 = Utf16ToUtf8(english, true);
        const char* shown = text ? Tr(utf8.c_str()) : utf8.c_str();
        std::u16string wide = shown == utf8.c_str() ? english : Utf8ToUtf16(shown);
        out.insert(out.end(), wide.begin(), wide.end());
        out.push_back(0);
    };
    DWORD style = static_cast<DWORD>(start[6] | start[7] << 16);
    WORD items = start[8];
    copy(13);     // version, signature, help id, styles, item count, place and size
    name(false);  // menu
    name(false);  // class
    name(true);   // caption
    if (style & DS_SETFONT) {
        copy(3);  // size, weight, italic and character set
        name(false);
    }
    for (WORD item = 0; item < items; ++item) {
        // Each item starts on a DWORD, in the resource and in the copy alike.
        if ((at - start) % 2) ++at;
        if (out.size() % 2) out.push_back(0);
        copy(12);                   // help id, styles, place and size, id
        name(false);                // class
        name(true);                 // text
        copy(1 + (at[0] + 1) / 2);  // creation data
    }
    return out;
}

}  // namespace

HWND CreateDialogShown(HINSTANCE module, int id, HWND owner, DLGPROC procedure, LPARAM parameter) {
    std::vector<WORD> shown = TranslatedTemplate(module, id);
    return shown.empty()
               ? CreateDialogParamW(module, MAKEINTRESOURCEW(id), owner, procedure, parameter)
               : CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(shown.data()),
                                            owner, procedure, parameter);
}

INT_PTR DialogBoxShown(HINSTANCE module, int id, HWND owner, DLGPROC procedure, LPARAM parameter) {
    std::vector<WORD> shown = TranslatedTemplate(module, id);
    return shown.empty()
               ? DialogBoxParamW(module, MAKEINTRESOURCEW(id), owner, procedure, parameter)
               : DialogBoxIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(shown.data()),
                                         owner, procedure, parameter);
}

void SetDialogText(HWND dialog, int id, const std::string& text) {
    std::u16string wide = Utf8ToUtf16(text);
    SetDlgItemTextW(dialog, id, std::wstring(wide.begin(), wide.end()).c_str());
}

bool ListViewAvailable(const char* where) {
    auto initControls = SystemFunction<BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*)>(
        L"comctl32.dll", "InitCommonControlsEx");
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_LISTVIEW_CLASSES};
    if (initControls && initControls(&classes)) return true;
    g_Debug.Log(DEBUG_ERROR, where, "The list view is not available - %lu", GetLastError());
    return false;
}

void SetUpListView(HWND window, HWND list, const std::vector<ListColumn>& columns) {
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (size_t column = 0; column < columns.size(); ++column) {
        RECT width = {0, 0, columns[column].width, 0};
        MapDialogRect(window, &width);
        std::wstring name = WidePath(Tr(columns[column].name));
        LVCOLUMNW info = {};
        info.mask = LVCF_TEXT | LVCF_WIDTH;
        info.cx = width.right;
        info.pszText = &name[0];
        SendMessageW(list, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
    }
}

bool OpenPlaysWindow(CPlaytally* engine, HWND owner) {
    return g_plays.Open(engine, owner);
}

void ClosePlaysWindow() {
    g_plays.Close();
}

void CPlaysWindow::OpenCorrections() {
    // Our own folder's file, never a name from elsewhere.
    std::string path = CorrectionsPath();
    if (path.empty() || !CreateCorrectionsFile(path)) {
        g_Debug.Log(DEBUG_ERROR, "CPlaysWindow::OpenCorrections", "Failed to write %s",
                    path.c_str());
        m_note = path.empty() ? std::string(Tr("Could not write the corrections."))
                              : Format(Tr("Could not write %s."), path.c_str());
        ShowStatus();
        return;
    }
    std::wstring quoted = L"\"" + WidePath(path) + L"\"";
    ShellExecuteW(m_window, L"open", L"notepad.exe", quoted.c_str(), nullptr, SW_SHOWNORMAL);
}
