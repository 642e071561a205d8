// The message box and the folder browser: GTK dialogs run in our own modal loop, so posted
// messages keep flowing and a WM_QUIT ends the run and stays pending.

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "gui_internal.h"
#include "win32/strings.h"
#include "win32/toplevel.h"

namespace win32::gui {
namespace {

constexpr char kOkLabel[] = "确定";
constexpr char kCancelLabel[] = "取消";

DialogTestHook g_messageBoxHook = nullptr;
void* g_pMessageBoxHookData = nullptr;
DialogTestHook g_browserHook = nullptr;
void* g_pBrowserHookData = nullptr;

// A dialog's run: the response that ended it.
struct DialogRun {
  bool ended = false;
  gint response = GTK_RESPONSE_NONE;
  DialogTestHook hook = nullptr;
  void* pHookData = nullptr;
};

void OnResponse(GtkDialog*, gint response, gpointer data) {
  auto* pRun = static_cast<DialogRun*>(data);
  pRun->response = response;
  pRun->ended = true;
}

gboolean OnMapped(GtkWidget* pWidget, GdkEvent*, gpointer data) {
  auto* pRun = static_cast<DialogRun*>(data);
  if (pRun->hook) pRun->hook(GTK_DIALOG(pWidget), pRun->pHookData);
  return FALSE;
}

// Shows the dialog modally and loops until it answers or a quit is pending. Returns false for
// a quit. The caller destroys the dialog.
bool RunDialog(GtkDialog* pDialog, DialogRun* pRun) {
  g_signal_connect(pDialog, "response", G_CALLBACK(OnResponse), pRun);
  g_signal_connect(pDialog, "map-event", G_CALLBACK(OnMapped), pRun);
  // Over the owner when it is on screen, else in the middle of the work area; left to the window
  // manager it opens in a corner.
  GtkWindow* pParent = gtk_window_get_transient_for(GTK_WINDOW(pDialog));
  const bool overParent = pParent && gtk_widget_get_mapped(GTK_WIDGET(pParent));
  gtk_window_set_position(GTK_WINDOW(pDialog),
                          overParent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  gtk_window_set_modal(GTK_WINDOW(pDialog), TRUE);
  gtk_widget_show_all(GTK_WIDGET(pDialog));
  gtk_window_present(GTK_WINDOW(pDialog));
  bool answered = RunModalLoop(&pRun->ended);
  gtk_widget_hide(GTK_WIDGET(pDialog));
  return answered;
}

struct Button {
  const char* label;
  int result;
};

int MessageBoxEntry(HWND owner, const std::u16string& text, const std::u16string& caption,
                    UINT type) {
  if (!OnGuiThread()) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return 0;
  }
  GtkMessageType kind = GTK_MESSAGE_OTHER;
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
      kind = GTK_MESSAGE_ERROR;
      break;
    case MB_ICONQUESTION:
      kind = GTK_MESSAGE_QUESTION;
      break;
    case MB_ICONEXCLAMATION:
      kind = GTK_MESSAGE_WARNING;
      break;
    case MB_ICONASTERISK:
      kind = GTK_MESSAGE_INFO;
      break;
  }
  std::vector<Button> buttons;
  int closeResult = IDCANCEL;  // what the window manager's close button answers
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons = {{"_OK", IDOK}, {"_Cancel", IDCANCEL}};
      break;
    case MB_ABORTRETRYIGNORE:
      buttons = {{"_Abort", IDABORT}, {"_Retry", IDRETRY}, {"_Ignore", IDIGNORE}};
      closeResult = IDABORT;
      break;
    case MB_YESNOCANCEL:
      buttons = {{"_Yes", IDYES}, {"_No", IDNO}, {"_Cancel", IDCANCEL}};
      break;
    case MB_YESNO:
      buttons = {{"_Yes", IDYES}, {"_No", IDNO}};
      closeResult = IDNO;
      break;
    case MB_RETRYCANCEL:
      buttons = {{"_Retry", IDRETRY}, {"_Cancel", IDCANCEL}};
      break;
    default:
      buttons = {{"_OK", IDOK}};
      closeResult = IDOK;
      break;
  }
  GtkWidget* pDialog =
      gtk_message_dialog_new(DialogParent(owner), GTK_DIALOG_DESTROY_WITH_PARENT, kind,
                             GTK_BUTTONS_NONE, "%s", Utf16ToUtf8(text).c_str());
  gtk_window_set_title(GTK_WINDOW(pDialog), Utf16ToUtf8(caption).c_str());
  for (const Button& button : buttons) {
    gtk_dialog_add_button(GTK_DIALOG(pDialog), button.label, button.result);
  }
  gtk_dialog_set_default_response(GTK_DIALOG(pDialog), buttons.front().result);
  DialogRun run;
  run.hook = g_messageBoxHook;
  run.pHookData = g_pMessageBoxHookData;
  bool answered = RunDialog(GTK_DIALOG(pDialog), &run);
  gtk_widget_destroy(pDialog);
  if (!answered) return 0;
  return run.response >= IDOK && run.response <= IDNO ? run.response : closeResult;
}

bool BrowseForFolderEntry(const FolderBrowseRequest& request, std::string* pChosen) {
  if (!OnGuiThread()) return false;
  // The product speaks Chinese whatever the environment's locale: the system's own words for
  // this dialog.
  std::string title = request.title.empty() ? "浏览文件夹" : Utf16ToUtf8(request.title);
  GtkWidget* pDialog = gtk_file_chooser_dialog_new(
      title.c_str(), DialogParent(request.owner), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      kCancelLabel, GTK_RESPONSE_CANCEL, kOkLabel, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* pChooser = GTK_FILE_CHOOSER(pDialog);
  gtk_file_chooser_set_local_only(pChooser, TRUE);
  gtk_file_chooser_set_create_folders(pChooser, TRUE);
  for (const FolderPlace& place : request.places) {
    gtk_file_chooser_add_shortcut_folder(pChooser, place.posixFolder.c_str(), nullptr);
  }
  if (!request.initialFolder.empty()) {
    gtk_file_chooser_set_current_folder(pChooser, request.initialFolder.c_str());
  }
  DialogRun run;
  run.hook = g_browserHook;
  run.pHookData = g_pBrowserHookData;
  bool answered = RunDialog(GTK_DIALOG(pDialog), &run);
  bool chosen = false;
  if (answered && run.response == GTK_RESPONSE_ACCEPT) {
    if (gchar* pFolder = gtk_file_chooser_get_filename(pChooser)) {
      *pChosen = pFolder;
      g_free(pFolder);
      chosen = true;
    }
  }
  gtk_widget_destroy(pDialog);
  return chosen;
}

}  // namespace

void InstallDialogs(UiBackend* pBackend) {
  pBackend->messageBox = MessageBoxEntry;
  pBackend->browseForFolder = BrowseForFolderEntry;
}

}  // namespace win32::gui

namespace win32 {

void SetMessageBoxTestHook(DialogTestHook hook, void* data) {
  gui::g_messageBoxHook = hook;
  gui::g_pMessageBoxHookData = data;
}

void SetFolderBrowserTestHook(DialogTestHook hook, void* data) {
  gui::g_browserHook = hook;
  gui::g_pBrowserHookData = data;
}

}  // namespace win32
