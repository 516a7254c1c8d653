// Plays a user against the installer stub: starts it with a chosen TEMP/TMP and working directory,
// then runs a script of observations and actions against its window and its message box, and
// writes what it saw as JSON lines to a file for the Python harness.
//
//   driver.exe --exe PATH --out FILE [--cwd DIR] [--temp DIR] [--env NAME=VALUE]...
//              [--unset NAME]... [--deadline MS] [--settle MS] --actions "step;step;..."
//
// Steps (MS is a bound in milliseconds; every wait is bounded):
//   wait-window=MS        the main window (class "vorninstaller") of the started process is visible
//                         and its thread has handled a message
//   dump                  title, class, styles, rectangles, and every child: class, text, style,
//                         id, enabled, rectangle in the parent's client coordinates, progress
//                         range and position
//   watch-until-pos=N,MS  records each distinct (label text, bar position, Cancel enabled) until
//                         the bar reaches N; each is one state of the window, never half of an
//                         update
//   watch-until-text=S,MS ... until the label contains S
//   watch-until-gone=MS   ... until the window is destroyed (at once when it already is)
//   click-cancel          BM_CLICK to the button with id IDCANCEL (posted: the click may end in a
//                         modal box, which must not block the driver)
//   click-cancel-if-open  click-cancel, unless the window has closed by itself (reported as
//                         "gone"): for a click racing the end of a run
//   key=esc|enter         the key's WM_KEYDOWN/WM_CHAR/WM_KEYUP posted to the focused window, the
//                         main window and the button, through the program's own message loop
//   input=esc|enter       the key through SendInput with the main window in front
//   close                 WM_CLOSE to the main window
//   sysclose              WM_SYSCOMMAND SC_CLOSE to the main window (the title bar's close box)
//   close-if-open         sysclose, unless the window has closed by itself: for a close racing
//                         the end of a run, where either is the program's right
//   kill                  TerminateProcess on the program, exit code 9, as a task manager would
//   sleep=MS
//   wait-file=PATH,MS     PATH exists (the harness's signal, e.g. "the server has the request")
//   wait-gone=MS          the main window no longer exists
//   expect-box=MS         a dialog (#32770) of the started process is visible: caption, text,
//                         buttons, and which standard icon it shows
//   dismiss-box           presses the box's OK button
//   no-box-for=MS         no dialog of the process shows during MS (ends early when it exits)
//   wait-exit=MS          the process has exited: its exit code
//   second-copy=MS        minimizes the main window, then starts another copy of the program as
//                         the first was started (same environment and working directory, in the
//                         job) and waits for it to exit: its exit code, whether it showed a window
//                         or a dialog, and whether the first copy's window is back and in front
//
// A step that cannot do its job reports {"ev":"error"} and ends the script. At the end, when the
// program has exited, the driver waits up to --settle MS for whatever it started (a job object
// holds them all), then terminates what is left: nothing the driver started outlives it, even when
// the driver itself is killed (the job kills on close). --deadline MS bounds the whole script.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

// ----- output -------------------------------------------------------------------------------

HANDLE out_file = INVALID_HANDLE_VALUE;
DWORD start_tick = 0;

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::wstring wide(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string quote(const std::string& s) {
    std::string q = "\"";
    for (const unsigned char c : s) {
        switch (c) {
            case '"':
                q += "\\\"";
                break;
            case '\\':
                q += "\\\\";
                break;
            case '\n':
                q += "\\n";
                break;
            case '\r':
                q += "\\r";
                break;
            case '\t':
                q += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    q += buf;
                } else {
                    q += static_cast<char>(c);
                }
        }
    }
    return q + "\"";
}

std::string quote(const std::wstring& w) {
    return quote(utf8(w));
}

// One JSON object under construction; fields are appended in order.
class Json {
  public:
    explicit Json(const char* event) { body_ = "{\"ev\":" + quote(std::string(event)); }
    Json& raw(const char* key, const std::string& json) {
        body_ += ",\"" + std::string(key) + "\":" + json;
        return *this;
    }
    Json& str(const char* key, const std::wstring& v) { return raw(key, quote(v)); }
    Json& str(const char* key, const std::string& v) { return raw(key, quote(v)); }
    Json& num(const char* key, long long v) { return raw(key, std::to_string(v)); }
    Json& boolean(const char* key, bool v) { return raw(key, v ? "true" : "false"); }
    std::string text() const { return body_ + "}"; }

  private:
    std::string body_;
};

// Each line is written and flushed on its own, so whatever was seen survives a kill.
void emit(Json j) {
    j.num("ms", static_cast<long long>(GetTickCount() - start_tick));
    const std::string line = j.text() + "\n";
    DWORD written = 0;
    WriteFile(out_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    FlushFileBuffers(out_file);
}

void emit_error(const std::string& step, const std::string& what) {
    emit(Json("error").str("step", step).str("what", what));
}

// ----- the started process --------------------------------------------------------------------

PROCESS_INFORMATION child{};
HANDLE job = nullptr;
// How the program was started, for a second copy.
std::wstring child_exe, child_cwd;
std::vector<wchar_t> child_env;
HWND main_window = nullptr;

bool child_exited() {
    return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0;
}

std::wstring class_of(HWND w) {
    wchar_t buf[256] = {};
    GetClassNameW(w, buf, 256);
    return buf;
}

// Cross-process WM_GETTEXT is marshalled by the system; the timeout keeps a hung program from
// hanging the driver. No WM_GETTEXTLENGTH first: the text may change in between, and a buffer
// sized for the old one would cut the new one short. A full buffer is read again, larger.
bool read_text(HWND w, std::wstring& text) {
    for (size_t size = 512; size <= 65536; size *= 4) {
        std::vector<wchar_t> buf(size, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(w, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buf.data()),
                                 SMTO_ABORTIFHUNG, 2000, &copied)) {
            return false;
        }
        if (copied + 1 < size) {
            text.assign(buf.data(), copied);
            return true;
        }
    }
    return false;
}

std::wstring text_of(HWND w) {
    std::wstring text;
    read_text(w, text);
    return text;
}

LRESULT send_bounded(HWND w, UINT msg, WPARAM wp, LPARAM lp, bool* ok = nullptr) {
    DWORD_PTR result = 0;
    const bool sent = SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, 2000, &result) != 0;
    if (ok) *ok = sent;
    return static_cast<LRESULT>(result);
}

DWORD pid_of(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

struct TopLevelSearch {
    const wchar_t* class_name;
    bool need_visible;
    std::vector<HWND> found;
    DWORD pid = 0;  // 0: the program's
};

BOOL CALLBACK collect_top_level(HWND w, LPARAM lp) {
    auto* search = reinterpret_cast<TopLevelSearch*>(lp);
    if (pid_of(w) != (search->pid ? search->pid : child.dwProcessId)) return TRUE;
    if (class_of(w) != search->class_name) return TRUE;
    if (search->need_visible && !IsWindowVisible(w)) return TRUE;
    search->found.push_back(w);
    return TRUE;
}

std::vector<HWND> windows_of_child(const wchar_t* class_name, bool need_visible) {
    TopLevelSearch search{class_name, need_visible, {}};
    EnumWindows(collect_top_level, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK collect_child(HWND w, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
    return TRUE;
}

std::vector<HWND> children_of(HWND parent) {
    std::vector<HWND> all;
    EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND child_by_class(HWND parent, const wchar_t* class_name) {
    for (HWND c : children_of(parent)) {
        if (_wcsicmp(class_of(c).c_str(), class_name) == 0) return c;
    }
    return nullptr;
}

RECT in_client_coords(HWND w, HWND parent) {
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string rect_json(const RECT& r) {
    return "{\"x\":" + std::to_string(r.left) + ",\"y\":" + std::to_string(r.top) +
           ",\"w\":" + std::to_string(r.right - r.left) +
           ",\"h\":" + std::to_string(r.bottom - r.top) + "}";
}

// ----- steps ----------------------------------------------------------------------------------

bool wait_until(DWORD ms, bool (*done)()) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(5);
    }
}

bool step_wait_window(const std::string& step, DWORD ms) {
    const DWORD start = GetTickCount();
    const bool found = wait_until(ms, [] {
        const auto windows = windows_of_child(L"vorninstaller", true);
        if (windows.empty()) return false;
        main_window = windows.front();
        return true;
    });
    if (!found) {
        emit_error(step, child_exited() ? "process exited without showing its window"
                                        : "no visible vorninstaller window");
        return false;
    }
    // Shown is not yet answering: a program whose start took long (a cold start under load)
    // counts as hung to SMTO_ABORTIFHUNG until its thread first looks for messages, and every
    // read of the window would fail at once. One message it has handled ends that.
    const DWORD spent = GetTickCount() - start;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(main_window, WM_NULL, 0, 0, SMTO_NORMAL, ms > spent ? ms - spent : 1,
                        &ignored);
    DWORD exe_pid = 0;
    const DWORD thread = GetWindowThreadProcessId(main_window, &exe_pid);
    emit(Json("window")
             .num("hwnd", reinterpret_cast<intptr_t>(main_window))
             .num("thread", thread)
             .num("count",
                  static_cast<long long>(windows_of_child(L"vorninstaller", false).size())));
    return true;
}

bool need_window(const std::string& step) {
    if (main_window && IsWindow(main_window)) return true;
    emit_error(step, main_window ? "window is gone" : "no window yet (wait-window first)");
    return false;
}

bool step_dump(const std::string& step) {
    if (!need_window(step)) return false;
    RECT window_rect{}, client_rect{};
    GetWindowRect(main_window, &window_rect);
    GetClientRect(main_window, &client_rect);
    std::string children = "[";
    bool first = true;
    for (HWND c : children_of(main_window)) {
        const std::wstring cls = class_of(c);
        Json j("child");
        j.str("class", cls)
            .str("text", text_of(c))
            .num("style",
                 static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE))))
            .num("exstyle",
                 static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(c, GWL_EXSTYLE))))
            .num("id", static_cast<long long>(GetWindowLongPtrW(c, GWLP_ID)))
            .boolean("direct", GetParent(c) == main_window)
            .boolean("enabled", IsWindowEnabled(c) != FALSE)
            .raw("rect", rect_json(in_client_coords(c, main_window)));
        if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0) {
            j.num("range_low", send_bounded(c, PBM_GETRANGE, TRUE, 0))
                .num("range_high", send_bounded(c, PBM_GETRANGE, FALSE, 0))
                .num("pos", send_bounded(c, PBM_GETPOS, 0, 0));
        }
        std::string t = j.text();  // {"ev":"child",...}: drop the event tag inside the list
        t = "{" + t.substr(t.find(',') + 1);
        children += (first ? "" : ",") + t;
        first = false;
    }
    children += "]";
    emit(Json("layout")
             .str("class", class_of(main_window))
             .str("title", text_of(main_window))
             .num("style", static_cast<long long>(
                               static_cast<DWORD>(GetWindowLongPtrW(main_window, GWL_STYLE))))
             .num("exstyle", static_cast<long long>(
                                 static_cast<DWORD>(GetWindowLongPtrW(main_window, GWL_EXSTYLE))))
             .boolean("visible", IsWindowVisible(main_window))
             .raw("rect", rect_json(window_rect))
             .raw("client", rect_json(client_rect))
             .raw("children", children));
    return true;
}

HWND cancel_button();

enum class Until { Pos, Text, Gone };

bool step_watch(const std::string& step, Until until, const std::string& arg) {
    DWORD ms = 0;
    std::wstring target_text;
    long long target_pos = 0;
    if (until == Until::Gone) {
        ms = static_cast<DWORD>(std::stoul(arg));
    } else {
        const auto comma = arg.rfind(',');
        if (comma == std::string::npos) {
            emit_error(step, "expected VALUE,MS");
            return false;
        }
        ms = static_cast<DWORD>(std::stoul(arg.substr(comma + 1)));
        if (until == Until::Pos)
            target_pos = std::stoll(arg.substr(0, comma));
        else
            target_text = wide(arg.substr(0, comma));
    }
    // A window that closed by itself before a slow driver got here is what this watch waits for.
    if (until == Until::Gone && main_window && !IsWindow(main_window)) {
        emit(Json("watch-end").str("reason", "gone").num("samples", 0));
        return true;
    }
    if (!need_window(step)) return false;
    const HWND label = child_by_class(main_window, L"Static");
    const HWND bar = child_by_class(main_window, PROGRESS_CLASSW);
    if (!label || !bar) {
        emit_error(step, "label or progress bar missing");
        return false;
    }
    const HWND cancel = cancel_button();
    std::wstring last_text = L"\x1";
    long long last_pos = -1;
    int last_enabled = -1;  // none yet
    int samples = 0;
    const DWORD start = GetTickCount();
    const char* reason = "timeout";
    for (;;) {
        if (!IsWindow(main_window)) {
            reason = "gone";
            break;
        }
        // The program sets bar and label while handling one message, so no read lands inside an
        // update, but an update may land between two reads. The bar is read on both sides of
        // the label: when the two agree, the label belongs to an update with that position
        // (positions only grow), and the pair is one state of the window.
        bool ok_pos = false, ok_pos_before = false;
        const bool enabled_before = cancel && IsWindowEnabled(cancel);
        const long long pos_before = send_bounded(bar, PBM_GETPOS, 0, 0, &ok_pos_before);
        std::wstring text;
        const bool ok_text = read_text(label, text);
        const long long pos = send_bounded(bar, PBM_GETPOS, 0, 0, &ok_pos);
        // The button's state is read directly, not through the program's thread, so it is read
        // on both sides of the label too: when the two agree, the label (which the program sets
        // in the same handler, just before the button) belongs to that state.
        const bool enabled = cancel && IsWindowEnabled(cancel);
        ++samples;
        const bool consistent = ok_pos_before && ok_text && ok_pos && pos_before == pos &&
                                enabled_before == enabled && IsWindow(main_window);
        if (consistent &&
            (text != last_text || pos != last_pos || static_cast<int>(enabled) != last_enabled)) {
            emit(Json("progress").str("text", text).num("pos", pos).boolean("cancel", enabled));
            last_text = text;
            last_pos = pos;
            last_enabled = enabled;
        }
        // Stopping on a recorded state: the harness sees the state that ended the watch.
        if (until == Until::Pos && consistent && pos >= target_pos) {
            reason = "met";
            break;
        }
        if (until == Until::Text && consistent && text.find(target_text) != std::wstring::npos) {
            reason = "met";
            break;
        }
        if (GetTickCount() - start >= ms) break;
        Sleep(2);
    }
    emit(Json("watch-end").str("reason", reason).num("samples", samples));
    return true;
}

HWND cancel_button() {
    for (HWND c : children_of(main_window)) {
        if (_wcsicmp(class_of(c).c_str(), L"Button") == 0 && GetDlgCtrlID(c) == IDCANCEL) return c;
    }
    return nullptr;
}

bool step_click_cancel(const std::string& step, bool only_if_open) {
    if (only_if_open && main_window && !IsWindow(main_window)) {
        emit(Json("clicked").boolean("posted", false).boolean("gone", true));
        return true;
    }
    if (!need_window(step)) return false;
    const HWND button = cancel_button();
    if (!button) {
        emit_error(step, "no button with id IDCANCEL");
        return false;
    }
    const bool posted = PostMessageW(button, BM_CLICK, 0, 0) != 0;
    emit(Json("clicked").boolean("posted", posted));
    return posted;
}

struct Key {
    UINT vk;
    UINT scan;
    wchar_t ch;
};

bool key_named(const std::string& name, Key& key) {
    if (name == "esc")
        key = {VK_ESCAPE, 0x01, 0x1b};
    else if (name == "enter")
        key = {VK_RETURN, 0x1c, 0x0d};
    else
        return false;
    return true;
}

bool step_key(const std::string& step, const std::string& name) {
    Key key{};
    if (!key_named(name, key)) {
        emit_error(step, "unknown key");
        return false;
    }
    if (!need_window(step)) return false;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(main_window, nullptr), &info);
    std::vector<HWND> targets;
    for (HWND t : {info.hwndFocus, main_window, cancel_button()}) {
        if (t && std::find(targets.begin(), targets.end(), t) == targets.end())
            targets.push_back(t);
    }
    const LPARAM down = 1 | (static_cast<LPARAM>(key.scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    std::string posted = "[";
    for (HWND t : targets) {
        PostMessageW(t, WM_KEYDOWN, key.vk, down);
        PostMessageW(t, WM_CHAR, key.ch, down);
        PostMessageW(t, WM_KEYUP, key.vk, up);
        posted += (posted.size() > 1 ? "," : "") + quote(class_of(t));
    }
    posted += "]";
    emit(Json("key")
             .str("key", name)
             .raw("targets", posted)
             .boolean("had_focus", info.hwndFocus != nullptr));
    return true;
}

bool step_input(const std::string& step, const std::string& name) {
    Key key{};
    if (!key_named(name, key)) {
        emit_error(step, "unknown key");
        return false;
    }
    if (!need_window(step)) return false;
    SetForegroundWindow(main_window);
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = static_cast<WORD>(key.vk);
    inputs[0].ki.wScan = static_cast<WORD>(key.scan);
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    const UINT sent = SendInput(2, inputs, sizeof(INPUT));
    emit(Json("input")
             .str("key", name)
             .num("sent", sent)
             .boolean("foreground", GetForegroundWindow() == main_window));
    return sent == 2;
}

bool step_close(const std::string& step, bool syscommand) {
    if (!need_window(step)) return false;
    const bool posted = syscommand ? PostMessageW(main_window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0
                                   : PostMessageW(main_window, WM_CLOSE, 0, 0) != 0;
    emit(Json(syscommand ? "sysclose" : "close").boolean("posted", posted));
    return posted;
}

bool step_close_if_open() {
    const bool open = main_window && IsWindow(main_window);
    const bool posted = open && PostMessageW(main_window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0;
    emit(Json("sysclose").boolean("posted", posted).boolean("open", open));
    return true;
}

bool step_wait_file(const std::string& step, const std::string& arg) {
    const auto comma = arg.rfind(',');
    if (comma == std::string::npos) {
        emit_error(step, "expected PATH,MS");
        return false;
    }
    const std::wstring path = wide(arg.substr(0, comma));
    const DWORD ms = static_cast<DWORD>(std::stoul(arg.substr(comma + 1)));
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start >= ms) {
            emit_error(step, "file did not appear");
            return false;
        }
        Sleep(5);
    }
    emit(Json("file").str("path", path));
    return true;
}

bool step_wait_gone(const std::string& step, DWORD ms) {
    const bool gone = wait_until(ms, [] { return !main_window || !IsWindow(main_window); });
    emit(Json("gone").boolean("gone", gone));
    if (!gone) emit_error(step, "window still there");
    return gone;
}

// Which standard icon a box shows: the icon static's pixels, read from the screen, against each
// standard icon drawn on the same background. The closest wins.
std::string icon_of(HWND icon_static) {
    RECT r{};
    GetWindowRect(icon_static, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0 || w > 256 || h > 256) return "unknown";
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP shot = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, shot);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<uint32_t> seen(static_cast<uint32_t*>(bits), static_cast<uint32_t*>(bits) + w * h);
    const uint32_t background = seen[0];

    struct Candidate {
        const char* name;
        LPCWSTR id;
    };
    const Candidate candidates[] = {{"error", IDI_ERROR},
                                    {"warning", IDI_WARNING},
                                    {"information", IDI_INFORMATION},
                                    {"question", IDI_QUESTION}};
    std::string best = "none";
    unsigned long long best_score = 0;
    // A blank area scores as "none".
    for (const uint32_t p : seen) {
        for (int s = 0; s < 24; s += 8) {
            const int d =
                static_cast<int>((p >> s) & 0xff) - static_cast<int>((background >> s) & 0xff);
            best_score += static_cast<unsigned long long>(d * d);
        }
    }
    for (const Candidate& c : candidates) {
        HICON icon = LoadIconW(nullptr, c.id);
        HBRUSH brush = CreateSolidBrush(
            RGB((background >> 16) & 0xff, (background >> 8) & 0xff, background & 0xff));
        RECT all{0, 0, w, h};
        FillRect(mem, &all, brush);
        DeleteObject(brush);
        DrawIconEx(mem, 0, 0, icon, std::min(w, GetSystemMetrics(SM_CXICON)),
                   std::min(h, GetSystemMetrics(SM_CYICON)), 0, nullptr, DI_NORMAL);
        GdiFlush();
        const uint32_t* drawn = static_cast<uint32_t*>(bits);
        unsigned long long score = 0;
        for (int i = 0; i < w * h; ++i) {
            for (int s = 0; s < 24; s += 8) {
                const int d = static_cast<int>((drawn[i] >> s) & 0xff) -
                              static_cast<int>((seen[i] >> s) & 0xff);
                score += static_cast<unsigned long long>(d * d);
            }
        }
        if (score < best_score) {
            best_score = score;
            best = c.name;
        }
    }
    SelectObject(mem, old);
    DeleteObject(shot);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return best;
}

// The icon is read from the screen, so it is there only once the box has painted it, which a
// loaded machine may delay: the answer is the first icon two reads in a row agree on, or the last
// read when `ms` have passed (a box without an icon).
std::string painted_icon_of(HWND icon_static, DWORD ms) {
    const DWORD start = GetTickCount();
    std::string last = icon_of(icon_static);
    while (GetTickCount() - start < ms) {
        Sleep(50);
        const std::string now = icon_of(icon_static);
        if (now == last && now != "none") break;
        last = now;
    }
    return last;
}

HWND box_window = nullptr;

bool step_expect_box(const std::string& step, DWORD ms) {
    const bool found = wait_until(ms, [] {
        const auto boxes = windows_of_child(L"#32770", true);
        if (boxes.empty()) return false;
        box_window = boxes.front();
        return true;
    });
    if (!found) {
        emit_error(step, child_exited() ? "process exited without a box" : "no box");
        return false;
    }
    std::wstring text;
    std::string buttons = "[";
    std::string icon = "none";
    for (HWND c : children_of(box_window)) {
        const std::wstring cls = class_of(c);
        const int id = GetDlgCtrlID(c);
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE));
        if (_wcsicmp(cls.c_str(), L"Static") == 0 && id == 0xFFFF) text = text_of(c);
        if (_wcsicmp(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(c)) {
            icon = painted_icon_of(c, 15000);
        }
        if (_wcsicmp(cls.c_str(), L"Button") == 0 && IsWindowVisible(c)) {
            buttons += (buttons.size() > 1 ? "," : "") + std::string("{\"id\":") +
                       std::to_string(id) + ",\"text\":" + quote(text_of(c)) + "}";
        }
    }
    buttons += "]";
    emit(Json("box")
             .str("caption", text_of(box_window))
             .str("text", text)
             .raw("buttons", buttons)
             .str("icon", icon)
             .num("count", static_cast<long long>(windows_of_child(L"#32770", true).size()))
             .boolean("main_window_alive", main_window && IsWindow(main_window)));
    return true;
}

bool step_dismiss_box(const std::string& step) {
    if (!box_window || !IsWindow(box_window)) {
        emit_error(step, "no box to dismiss");
        return false;
    }
    const HWND ok = GetDlgItem(box_window, IDOK);
    const bool posted = ok ? PostMessageW(ok, BM_CLICK, 0, 0) != 0
                           : PostMessageW(box_window, WM_COMMAND, IDOK, 0) != 0;
    emit(Json("dismissed").boolean("via_button", ok != nullptr).boolean("posted", posted));
    return posted;
}

bool step_no_box_for(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const auto boxes = windows_of_child(L"#32770", true);
        if (!boxes.empty()) {
            const HWND text = GetDlgItem(boxes.front(), 0xFFFF);
            emit(Json("no-box")
                     .boolean("box_seen", true)
                     .str("caption", text_of(boxes.front()))
                     .str("text", text ? text_of(text) : L""));
            return true;
        }
        if (child_exited() || GetTickCount() - start >= ms) break;
        Sleep(5);
    }
    emit(Json("no-box").boolean("box_seen", false).boolean("exited", child_exited()));
    return true;
}

bool step_wait_exit(DWORD ms) {
    const bool exited = WaitForSingleObject(child.hProcess, ms) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    Json j("exit");
    j.boolean("exited", exited);
    if (exited) j.num("code", code);
    emit(j);
    return true;
}

bool shows_a_window(DWORD pid) {
    for (const wchar_t* class_name : {L"#32770", L"vorninstaller"}) {
        TopLevelSearch search{class_name, true, {}, pid};
        EnumWindows(collect_top_level, reinterpret_cast<LPARAM>(&search));
        if (!search.found.empty()) return true;
    }
    return false;
}

bool step_second_copy(const std::string& step, DWORD ms) {
    if (!need_window(step)) return false;
    ShowWindowAsync(main_window, SW_MINIMIZE);
    const bool minimized = wait_until(5000, [] { return IsIconic(main_window) != FALSE; });
    std::wstring command_line = L"\"" + child_exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION second{};
    if (!CreateProcessW(child_exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, child_env.data(),
                        child_cwd.empty() ? nullptr : child_cwd.c_str(), &si, &second)) {
        emit_error(step, "cannot start a second copy");
        return false;
    }
    if (job) AssignProcessToJobObject(job, second.hProcess);
    ResumeThread(second.hThread);
    bool window_seen = false;
    const DWORD start = GetTickCount();
    bool exited = false;
    while (!(exited = WaitForSingleObject(second.hProcess, 10) == WAIT_OBJECT_0) &&
           GetTickCount() - start < ms) {
        window_seen = window_seen || shows_a_window(second.dwProcessId);
    }
    DWORD code = 0;
    GetExitCodeProcess(second.hProcess, &code);
    Json j("second-copy");
    j.num("pid", second.dwProcessId).boolean("exited", exited).boolean("window_seen", window_seen);
    if (exited) j.num("code", code);
    j.boolean("minimized", minimized);
    j.boolean("main_in_front", IsWindow(main_window) && !IsIconic(main_window) &&
                                   GetForegroundWindow() == main_window);
    emit(j);
    if (!exited) TerminateProcess(second.hProcess, 0xDEAD);
    CloseHandle(second.hThread);
    CloseHandle(second.hProcess);
    return true;
}

bool run_step(const std::string& step) {
    const auto eq = step.find('=');
    const std::string name = step.substr(0, eq);
    const std::string arg = eq == std::string::npos ? "" : step.substr(eq + 1);
    auto ms = [&] { return static_cast<DWORD>(std::stoul(arg)); };
    try {
        if (name == "wait-window") return step_wait_window(step, ms());
        if (name == "dump") return step_dump(step);
        if (name == "watch-until-pos") return step_watch(step, Until::Pos, arg);
        if (name == "watch-until-text") return step_watch(step, Until::Text, arg);
        if (name == "watch-until-gone") return step_watch(step, Until::Gone, arg);
        if (name == "click-cancel") return step_click_cancel(step, false);
        if (name == "click-cancel-if-open") return step_click_cancel(step, true);
        if (name == "key") return step_key(step, arg);
        if (name == "input") return step_input(step, arg);
        if (name == "close") return step_close(step, false);
        if (name == "sysclose") return step_close(step, true);
        if (name == "close-if-open") return step_close_if_open();
        if (name == "kill") {
            const bool killed = TerminateProcess(child.hProcess, 9) != 0;
            emit(Json("kill").boolean("killed", killed));
            return killed;
        }
        if (name == "sleep") {
            Sleep(ms());
            return true;
        }
        if (name == "wait-file") return step_wait_file(step, arg);
        if (name == "wait-gone") return step_wait_gone(step, ms());
        if (name == "expect-box") return step_expect_box(step, ms());
        if (name == "dismiss-box") return step_dismiss_box(step);
        if (name == "no-box-for") return step_no_box_for(ms());
        if (name == "wait-exit") return step_wait_exit(ms());
        if (name == "second-copy") return step_second_copy(step, ms());
    } catch (...) {
        emit_error(step, "bad argument");
        return false;
    }
    emit_error(step, "unknown step");
    return false;
}

// ----- start-up -------------------------------------------------------------------------------

struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// The driver's own environment with the requested changes, as a sorted Unicode block.
std::vector<wchar_t> environment_block(
    const std::vector<std::pair<std::wstring, std::wstring>>& set,
    const std::vector<std::wstring>& unset) {
    std::map<std::wstring, std::wstring, NoCase> vars;
    std::vector<std::wstring> drive_entries;  // "=C:=C:\..." entries keep their place in front
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        const std::wstring entry = p;
        const auto eq = entry.find(L'=', 1);
        if (entry[0] == L'=' || eq == std::wstring::npos) {
            drive_entries.push_back(entry);
            continue;
        }
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& name : unset) vars.erase(name);
    for (const auto& [name, value] : set) {
        vars.erase(name);
        vars[name] = value;
    }
    std::vector<wchar_t> out;
    for (const auto& e : drive_entries) out.insert(out.end(), e.c_str(), e.c_str() + e.size() + 1);
    for (const auto& [name, value] : vars) {
        const std::wstring entry = name + L"=" + value;
        out.insert(out.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    out.push_back(L'\0');
    return out;
}

DWORD WINAPI deadline_watch(void* arg) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg)));
    emit(Json("deadline"));
    TerminateJobObject(job, 0xDEAD);
    ExitProcess(3);
}

int usage(const char* why) {
    std::fprintf(stderr, "driver: %s\n", why);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    start_tick = GetTickCount();
    std::wstring exe, out, cwd, actions;
    std::vector<std::pair<std::wstring, std::wstring>> set_env;
    std::vector<std::wstring> unset_env;
    DWORD deadline = 120000, settle = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (i + 1 >= argc) return usage("option without value");
        const std::wstring v = argv[++i];
        if (a == L"--exe")
            exe = v;
        else if (a == L"--out")
            out = v;
        else if (a == L"--cwd")
            cwd = v;
        else if (a == L"--actions")
            actions = v;
        else if (a == L"--temp") {
            set_env.emplace_back(L"TEMP", v);
            set_env.emplace_back(L"TMP", v);
        } else if (a == L"--env") {
            const auto eq = v.find(L'=');
            if (eq == std::wstring::npos || eq == 0) return usage("--env needs NAME=VALUE");
            set_env.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == L"--unset")
            unset_env.push_back(v);
        else if (a == L"--deadline")
            deadline = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
        else if (a == L"--settle")
            settle = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
        else
            return usage("unknown option");
    }
    if (exe.empty() || out.empty()) return usage("--exe and --out are required");

    out_file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out_file == INVALID_HANDLE_VALUE) return usage("cannot create the output file");

    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const bool job_limited = job && SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                                            &limits, sizeof limits);

    std::vector<wchar_t> env = environment_block(set_env, unset_env);
    child_exe = exe;
    child_cwd = cwd;
    child_env = env;
    std::wstring command_line = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, env.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &child)) {
        emit(Json("error").str("step", "start").num("err", GetLastError()));
        return 1;
    }
    const bool in_job = job && AssignProcessToJobObject(job, child.hProcess);
    ResumeThread(child.hThread);
    emit(Json("started").num("pid", child.dwProcessId).boolean("job", in_job && job_limited));
    CreateThread(nullptr, 0, deadline_watch,
                 reinterpret_cast<void*>(static_cast<uintptr_t>(deadline)), 0, nullptr);

    size_t begin = 0;
    while (begin <= actions.size()) {
        size_t end = actions.find(L';', begin);
        if (end == std::wstring::npos) end = actions.size();
        const std::string step = utf8(actions.substr(begin, end - begin));
        begin = end + 1;
        if (step.empty()) continue;
        if (!run_step(step)) break;
    }

    // The script decides how long to wait for the program itself; once it has exited, whatever
    // it started (the installer it launches) is given time to finish too.
    const DWORD settle_start = GetTickCount();
    const bool exited = child_exited();
    long long still_active = -1;
    while (exited) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!in_job || !QueryInformationJobObject(job, JobObjectBasicAccountingInformation,
                                                  &accounting, sizeof accounting, nullptr)) {
            break;
        }
        still_active = accounting.ActiveProcesses;
        if (still_active == 0 || GetTickCount() - settle_start >= settle) break;
        Sleep(10);
    }
    Json end("end");
    end.boolean("exited", exited).num("active_in_job", still_active);
    if (exited) {
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        end.num("code", code);
    }
    if (!exited || still_active > 0) {
        if (in_job)
            TerminateJobObject(job, 0xDEAD);
        else
            TerminateProcess(child.hProcess, 0xDEAD);
        WaitForSingleObject(child.hProcess, 5000);
        end.boolean("killed", true);
    }
    emit(end);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(out_file);
    return 0;
}
