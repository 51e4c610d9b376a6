// The desktop: windows, queues, timers, input, tray icons, menus, message boxes.
#include <thread>

#include <gtest/gtest.h>

#include "host/kernel_threads.h"
#include "host/win32_error.h"
#include "session_fixture.h"

namespace host::user::testing {
namespace {

using DesktopTest = SessionTest;

// A menu template as a resource compiler writes it: a bar whose one popup holds a popup
// "Change Skin" (one item 32900), a separator and "Close" (32771).
std::vector<uint8_t> TrayMenuTemplate() {
    std::vector<uint8_t> bytes = {0, 0, 0, 0};  // version 0, no extra header
    auto word = [&](uint16_t value) {
        bytes.push_back(static_cast<uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<uint8_t>(value >> 8));
    };
    auto text = [&](const std::u16string& s) {
        for (char16_t c : s) {
            word(c);
        }
        word(0);
    };
    word(MF_POPUP | MF_END);
    text(u"Tray");
    word(MF_POPUP);
    text(u"Change Skin");
    word(MF_END);
    word(32900);
    text(u"English");
    word(0);
    word(0);
    text(u"");
    word(MF_END);
    word(32771);
    text(u"Close");
    return bytes;
}

TEST_F(DesktopTest, WindowsAreFoundByClassAndTitleWithoutRegardToCase) {
    UiThread panel(desktop(), Popup(u"QEX USB Ampfx Suite"));
    UiThread other(desktop(), Popup(u"Another"));
    EXPECT_EQ(desktop().FindWindow(u"", u"qex usb ampfx suite"), panel.hwnd());
    EXPECT_EQ(desktop().FindWindow(u"#32770", u"QEX USB Ampfx Suite"), panel.hwnd());
    EXPECT_EQ(desktop().FindWindow(u"Button", u"QEX USB Ampfx Suite"), 0u);
    EXPECT_EQ(desktop().FindWindow(u"", u"QEX USB"), 0u);
    panel.Run([&] { desktop().DestroyWindow(panel.hwnd()); });
    EXPECT_EQ(desktop().FindWindow(u"", u"QEX USB Ampfx Suite"), 0u);
}

TEST_F(DesktopTest, ShowHideMoveAndCentreTellTheWindow) {
    UiThread panel(desktop(), Popup(u"Panel", 100, 100, 640, 480));
    EXPECT_FALSE(desktop().ShowWindow(panel.hwnd(), SW_SHOW));
    EXPECT_TRUE(desktop().IsWindowVisible(panel.hwnd()));
    EXPECT_TRUE(desktop().ShowWindow(panel.hwnd(), SW_HIDE));
    EXPECT_FALSE(desktop().IsWindowVisible(panel.hwnd()));
    const std::vector<Logged> shows = panel.Of(WM_SHOWWINDOW);
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(shows[0].wParam, 1u);
    EXPECT_EQ(shows[1].wParam, 0u);
    // Sent from the test thread, handled on the window's own thread.
    EXPECT_EQ(shows[0].thread, panel.id());

    ASSERT_TRUE(desktop().CenterWindow(panel.hwnd()));
    Rect rect;
    ASSERT_TRUE(desktop().GetWindowRect(panel.hwnd(), &rect));
    EXPECT_EQ(rect.left, (1280 - 640) / 2);
    EXPECT_EQ(rect.top, (1024 - 40 - 480) / 2);
    EXPECT_EQ(rect.Width(), 640);
    const std::vector<Logged> moves = panel.Of(WM_MOVE);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(LowWordSigned(moves[0].lParam), 320);
    EXPECT_EQ(HighWordSigned(moves[0].lParam), 252);
    EXPECT_TRUE(panel.Of(WM_SIZE).empty());
}

TEST_F(DesktopTest, PostedMessagesKeepTheirOrderAndQuitEndsTheLoop) {
    UiThread panel(desktop(), Popup(u"Panel"));
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(desktop().PostMessage(panel.hwnd(), WM_USER + i, i, 0));
    }
    ASSERT_TRUE(desktop().WaitIdle());
    std::vector<uint32_t> user;
    for (uint32_t message : panel.Messages()) {
        if (message >= WM_USER && message < WM_USER + 5) {
            user.push_back(message);
        }
    }
    EXPECT_EQ(user,
              (std::vector<uint32_t>{WM_USER, WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4}));
    panel.Stop();
    EXPECT_EQ(panel.quitCode(), 7);
}

TEST_F(DesktopTest, AWindowThatIsGoneRefusesMessagesWithItsError) {
    UiThread panel(desktop(), Popup(u"Panel"));
    const Hwnd hwnd = panel.hwnd();
    // Only the owning thread may destroy it.
    SetLastError(0);
    EXPECT_FALSE(desktop().DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    panel.Run([&] { EXPECT_TRUE(desktop().DestroyWindow(hwnd)); });
    EXPECT_EQ(panel.Messages(WM_DESTROY).size(), 1u);
    struct Case {
        const char* call;
        std::function<bool()> run;
    };
    const Case cases[] = {
        {"PostMessage", [&] { return desktop().PostMessage(hwnd, WM_USER, 0, 0); }},
        {"ShowWindow",
         [&] {
             desktop().ShowWindow(hwnd, SW_SHOW);
             return false;
         }},
        {"SetTimer", [&] { return desktop().SetTimer(hwnd, 2, 500) != 0; }},
        {"SetWindowPos", [&] { return desktop().SetWindowPos(hwnd, 0, 0, 1, 1, 0); }},
        {"InvalidateRect", [&] { return desktop().InvalidateRect(hwnd, nullptr, true); }},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.run()) << c.call;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE) << c.call;
    }
    EXPECT_FALSE(desktop().IsWindow(hwnd));
}

TEST_F(DesktopTest, AProgramStillPumpingWhenTheSessionEndsIsToldToQuit) {
    auto panel = std::make_unique<UiThread>(desktop(), Popup(u"Panel"));
    ASSERT_TRUE(desktop().WaitIdle());
    session_.reset();
    panel->Join();
    EXPECT_EQ(panel->quitCode(), 0);
}

TEST_F(DesktopTest, RegisteredMessagesShareOneNumberPerName) {
    const uint32_t exit = desktop().RegisterWindowMessage(u"WM_QEX4410APP_EXIT");
    EXPECT_GE(exit, 0xC000u);
    EXPECT_LE(exit, 0xFFFFu);
    EXPECT_EQ(desktop().RegisterWindowMessage(u"wm_qex4410app_exit"), exit);
    EXPECT_NE(desktop().RegisterWindowMessage(u"Another"), exit);
    SetLastError(0);
    EXPECT_EQ(desktop().RegisterWindowMessage(u""), 0u);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST_F(DesktopTest, BroadcastsReachEveryTopLevelWindow) {
    UiThread a(desktop(), Popup(u"A"));
    UiThread b(desktop(), Popup(u"B"));
    const uint32_t message = desktop().RegisterWindowMessage(u"Broadcast");
    ASSERT_TRUE(desktop().PostMessage(kHwndBroadcast, message, 1, 2));
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(a.Messages(message).size(), 1u);
    EXPECT_EQ(b.Messages(message).size(), 1u);
    desktop().SendMessage(kHwndBroadcast, message, 3, 4);
    EXPECT_EQ(a.Messages(message).size(), 2u);
    EXPECT_EQ(b.Messages(message).size(), 2u);
}

TEST_F(DesktopTest, TimersFollowTheMachineClock) {
    UiThread panel(desktop(), Popup(u"Panel"));
    panel.Run([&] {
        EXPECT_EQ(desktop().SetTimer(panel.hwnd(), 2, 500), 2u);
        EXPECT_EQ(desktop().SetTimer(panel.hwnd(), 1, 0), 1u);  // the minimum, 10 ms
    });
    const int64_t start = kernel::Now();
    desktop().RunForMs(1600);
    EXPECT_EQ(kernel::Now() - start, 1600 * 10000);
    int twos = 0;
    int ones = 0;
    for (const Logged& entry : panel.Of(WM_TIMER)) {
        (entry.wParam == 2 ? twos : ones)++;
    }
    EXPECT_EQ(twos, 3);    // at 500, 1000 and 1500 ms
    EXPECT_EQ(ones, 160);  // every 10 ms
    panel.Run([&] {
        EXPECT_TRUE(desktop().KillTimer(panel.hwnd(), 1));
        SetLastError(0);
        EXPECT_FALSE(desktop().KillTimer(panel.hwnd(), 1));
        EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    });
    panel.ClearLog();
    desktop().RunForMs(500);
    EXPECT_EQ(panel.Of(WM_TIMER).size(), 1u);
}

TEST_F(DesktopTest, ATimerThatFellDueManyTimesComesOnce) {
    UiThread panel(desktop(), Popup(u"Panel"));
    panel.Run([&] { desktop().SetTimer(panel.hwnd(), 2, 500); });
    kernel::AdvanceTimeMs(2100);  // four periods pass before the queue is looked at
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(panel.Of(WM_TIMER).size(), 1u);
    panel.ClearLog();
    desktop().RunForMs(399);  // the next expiry stays on the 500 ms grid: 2500
    EXPECT_EQ(panel.Of(WM_TIMER).size(), 0u);
    desktop().RunForMs(1);
    EXPECT_EQ(panel.Of(WM_TIMER).size(), 1u);
}

TEST_F(DesktopTest, AnUpdateIsPendingUntilPaintValidatesIt) {
    UiThread panel(desktop(), Popup(u"Panel"));
    Rect update;
    // A hidden window has nothing to update.
    EXPECT_TRUE(desktop().InvalidateRect(panel.hwnd(), nullptr, false));
    EXPECT_FALSE(desktop().GetUpdateRect(panel.hwnd(), &update, false));
    panel.Run([&] {
        desktop().ShowWindow(panel.hwnd(), SW_SHOW);
        EXPECT_TRUE(desktop().GetUpdateRect(panel.hwnd(), &update, false));
        EXPECT_EQ(update.Width(), 640);
        EXPECT_EQ(update.Height(), 480);
    });
    ASSERT_TRUE(desktop().WaitIdle());
    // WM_PAINT went to DefWindowProc, whose BeginPaint erased and validated.
    EXPECT_EQ(panel.Messages(WM_PAINT).size(), 1u);
    EXPECT_EQ(panel.Messages(WM_ERASEBKGND).size(), 1u);
    EXPECT_FALSE(desktop().GetUpdateRect(panel.hwnd(), &update, false));
    const Rect part{10, 20, 30, 40};
    panel.Run([&] {
        desktop().InvalidateRect(panel.hwnd(), &part, false);
        ASSERT_TRUE(desktop().GetUpdateRect(panel.hwnd(), &update, false));
        EXPECT_EQ(update.left, 10);
        EXPECT_EQ(update.bottom, 40);
    });
}

TEST_F(DesktopTest, ClicksArriveInClientCoordinatesAfterTheHitTest) {
    UiThread panel(desktop(), Popup(u"Panel", 100, 100, 640, 480));
    desktop().ShowWindow(panel.hwnd(), SW_SHOW);
    desktop().Click(Point{150, 160});
    ASSERT_TRUE(desktop().WaitIdle());
    const std::vector<uint32_t> mouse = [&] {
        std::vector<uint32_t> out;
        for (uint32_t m : panel.Messages()) {
            if (m == WM_NCHITTEST || m == WM_SETCURSOR || m == WM_LBUTTONDOWN ||
                m == WM_LBUTTONUP) {
                out.push_back(m);
            }
        }
        return out;
    }();
    EXPECT_EQ(mouse, (std::vector<uint32_t>{WM_NCHITTEST, WM_SETCURSOR, WM_LBUTTONDOWN,
                                            WM_NCHITTEST, WM_SETCURSOR, WM_LBUTTONUP}));
    const std::vector<Logged> down = panel.Of(WM_LBUTTONDOWN);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(LowWordSigned(down[0].lParam), 50);
    EXPECT_EQ(HighWordSigned(down[0].lParam), 60);
    EXPECT_EQ(down[0].wParam, MK_LBUTTON);

    // A second click in the same place within the double-click time is a double-click.
    desktop().Click(Point{151, 161});
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(panel.Of(WM_LBUTTONDBLCLK).size(), 1u);
    // The third is an ordinary click again.
    desktop().Click(Point{151, 161});
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(panel.Of(WM_LBUTTONDBLCLK).size(), 1u);
    EXPECT_EQ(panel.Of(WM_LBUTTONDOWN).size(), 2u);
}

TEST_F(DesktopTest, TheCaptionBandDragsTheWindow) {
    UiThread panel(desktop(), Popup(u"Panel", 100, 100, 640, 480),
                   [](Hwnd, uint32_t message, WParam, LParam l, LResult* result) {
                       if (message != WM_NCHITTEST) {
                           return false;
                       }
                       const int y = HighWordSigned(l) - 100;
                       *result = y < 70 ? HTCAPTION : HTCLIENT;
                       return true;
                   });
    desktop().ShowWindow(panel.hwnd(), SW_SHOW);
    desktop().Mouse(MouseAction::LeftDown, Point{200, 120});
    desktop().Mouse(MouseAction::Move, Point{260, 150});
    desktop().Mouse(MouseAction::Move, Point{300, 220});
    desktop().Mouse(MouseAction::LeftUp, Point{300, 220});
    ASSERT_TRUE(desktop().WaitIdle());
    Rect rect;
    ASSERT_TRUE(desktop().GetWindowRect(panel.hwnd(), &rect));
    EXPECT_EQ(rect.left, 200);
    EXPECT_EQ(rect.top, 200);
    EXPECT_EQ(panel.Of(WM_MOVE).size(), 2u);
    EXPECT_TRUE(panel.Of(WM_LBUTTONDOWN).empty());
    // After the drag, clicks are the window's again.
    desktop().Click(Point{300, 400});
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(panel.Of(WM_LBUTTONDOWN).size(), 1u);
}

TEST_F(DesktopTest, ColourKeyPixelsLetClicksThroughToTheWindowBelow) {
    UiThread below(desktop(), Popup(u"Below", 0, 0, 400, 400));
    UiThread panel(desktop(), Popup(u"Panel", 100, 100, 100, 100));
    desktop().ShowWindow(below.hwnd(), SW_SHOW);
    desktop().ShowWindow(panel.hwnd(), SW_SHOW);
    std::vector<uint8_t> picture(100 * 100 * 3, 0x40);
    for (int x = 0; x < 100; ++x) {  // the top row is pure green
        picture[static_cast<size_t>(x) * 3 + 1] = 0xFF;
        picture[static_cast<size_t>(x) * 3] = 0;
        picture[static_cast<size_t>(x) * 3 + 2] = 0;
    }
    ASSERT_TRUE(desktop().PresentPicture(panel.hwnd(), 0, 0, 100, 100, picture.data(), 300));
    // Not layered: the window takes the point whatever it shows.
    EXPECT_EQ(desktop().WindowFromPoint(Point{150, 100}), panel.hwnd());
    EXPECT_FALSE(desktop().SetLayeredWindowAttributes(panel.hwnd(), 0x00FF00, 255, LWA_COLORKEY));
    desktop().SetWindowLong(panel.hwnd(), GWL_EXSTYLE,
                            desktop().GetWindowLong(panel.hwnd(), GWL_EXSTYLE) ^ WS_EX_LAYERED);
    // Layered without attributes: not on the screen at all yet.
    EXPECT_EQ(desktop().WindowFromPoint(Point{150, 150}), below.hwnd());
    ASSERT_TRUE(desktop().SetLayeredWindowAttributes(panel.hwnd(), 0x00FF00, 255, LWA_COLORKEY));
    EXPECT_EQ(desktop().WindowFromPoint(Point{150, 100}), below.hwnd());
    EXPECT_EQ(desktop().WindowFromPoint(Point{150, 101}), panel.hwnd());
    desktop().Click(Point{150, 100});
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(below.Of(WM_LBUTTONDOWN).size(), 1u);
    EXPECT_TRUE(panel.Of(WM_LBUTTONDOWN).empty());
}

TEST_F(DesktopTest, TrayIconsFollowAddModifyAndDelete) {
    UiThread panel(desktop(), Popup(u"Panel"));
    NotifyIconData data;
    data.hwnd = panel.hwnd();
    data.id = 0;
    data.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.callbackMessage = 0x410;
    data.icon = 1088;
    data.tip = u"USB audio manager";
    EXPECT_FALSE(desktop().ShellNotifyIcon(NIM_MODIFY, data));
    EXPECT_TRUE(desktop().ShellNotifyIcon(NIM_ADD, data));
    EXPECT_FALSE(desktop().ShellNotifyIcon(NIM_ADD, data));
    NotifyIconData icon;
    icon.hwnd = panel.hwnd();
    icon.flags = NIF_ICON;
    icon.icon = 1091;
    icon.tip = u"ignored without NIF_TIP";
    EXPECT_TRUE(desktop().ShellNotifyIcon(NIM_MODIFY, icon));
    std::optional<TrayIcon> shown = desktop().FindTrayIcon(panel.hwnd(), 0);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->data.icon, 1091u);
    EXPECT_EQ(shown->data.tip, u"USB audio manager");
    EXPECT_EQ(shown->data.callbackMessage, 0x410u);
    EXPECT_TRUE(desktop().ShellNotifyIcon(NIM_DELETE, data));
    EXPECT_FALSE(desktop().ShellNotifyIcon(NIM_DELETE, data));
    EXPECT_TRUE(desktop().TrayIcons().empty());
}

TEST_F(DesktopTest, ClickingATrayIconPostsItsCallbackAsExplorerDoes) {
    UiThread panel(desktop(), Popup(u"Panel"));
    NotifyIconData data;
    data.hwnd = panel.hwnd();
    data.flags = NIF_MESSAGE | NIF_ICON;
    data.callbackMessage = 0x410;
    data.icon = 1088;
    ASSERT_TRUE(desktop().ShellNotifyIcon(NIM_ADD, data));
    struct Case {
        TrayClick click;
        std::vector<LParam> mouse;
    };
    const Case cases[] = {
        {TrayClick::DoubleClick,
         {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}},
        {TrayClick::RightClick, {WM_MOUSEMOVE, WM_RBUTTONDOWN, WM_RBUTTONUP}},
        {TrayClick::Click, {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP}},
    };
    for (const Case& c : cases) {
        panel.ClearLog();
        ASSERT_TRUE(desktop().ClickTrayIcon(panel.hwnd(), 0, c.click));
        ASSERT_TRUE(desktop().WaitIdle());
        std::vector<LParam> got;
        for (const Logged& entry : panel.Of(0x410)) {
            EXPECT_EQ(entry.wParam, 0u);
            got.push_back(entry.lParam);
        }
        EXPECT_EQ(got, c.mouse);
    }
    Point cursor;
    desktop().GetCursorPos(&cursor);
    EXPECT_GT(cursor.y, 1024 - 40);  // on the icon, in the taskbar
    // The window goes without deleting its icon: the next click finds it gone.
    panel.Run([&] { desktop().DestroyWindow(panel.hwnd()); });
    EXPECT_FALSE(desktop().ClickTrayIcon(panel.hwnd(), 0, TrayClick::Click));
    EXPECT_TRUE(desktop().TrayIcons().empty());
}

TEST_F(DesktopTest, AMenuTemplateBecomesTheMenuTheUserChoosesFrom) {
    const std::vector<uint8_t> bytes = TrayMenuTemplate();
    UiThread panel(desktop(), Popup(u"Panel"));
    std::atomic<uint32_t> tracked{99};
    HMenu bar = desktop().LoadMenuIndirect(bytes.data(), bytes.size());
    ASSERT_NE(bar, 0u);
    const HMenu tray = desktop().GetSubMenu(bar, 0);
    const HMenu skins = desktop().GetSubMenu(tray, 0);
    ASSERT_NE(skins, 0u);
    EXPECT_EQ(desktop().GetMenuItemCount(tray), 3);
    EXPECT_EQ(desktop().GetMenuItemID(tray, 2), 32771u);
    EXPECT_EQ(desktop().GetMenuItemID(tray, 0), 0xFFFFFFFFu);
    ASSERT_TRUE(desktop().ModifyMenu(tray, 32900, MF_BYCOMMAND | MF_STRING, 32900, u"English"));
    ASSERT_TRUE(desktop().AppendMenu(skins, MF_STRING, 32901, u"Grey skin"));
    ASSERT_TRUE(desktop().AppendMenu(skins, MF_STRING | MF_GRAYED, 32902, u"Off"));
    EXPECT_EQ(desktop().CheckMenuItem(tray, 32900, MF_BYCOMMAND | MF_CHECKED), 0);
    EXPECT_EQ(desktop().CheckMenuItem(tray, 32999, MF_BYCOMMAND | MF_CHECKED), -1);

    std::thread user([&] {
        panel.Run([&] {
            tracked = desktop().TrackPopupMenu(tray, TPM_LEFTBUTTON, 1200, 1000, panel.hwnd());
        });
    });
    while (!desktop().OpenMenu()) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(desktop().WaitIdle());
    const ShownMenu shown = *desktop().OpenMenu();
    ASSERT_EQ(shown.menu.items.size(), 3u);
    EXPECT_EQ(shown.menu.items[0].item.text, u"Change Skin");
    ASSERT_EQ(shown.menu.items[0].submenu.size(), 3u);
    EXPECT_EQ(shown.menu.items[0].submenu[0].item.flags & MF_CHECKED, MF_CHECKED);
    EXPECT_NE(shown.menu.items[1].item.flags & MF_SEPARATOR, 0u);
    EXPECT_EQ(shown.menu.items[2].item.text, u"Close");
    EXPECT_FALSE(desktop().ChooseMenuItem(32902));  // greyed
    EXPECT_FALSE(desktop().ChooseMenuItem(4242));   // not there
    EXPECT_TRUE(desktop().ChooseMenuItem(32901));
    user.join();
    EXPECT_EQ(tracked, 1u);
    ASSERT_TRUE(desktop().WaitIdle());
    const std::vector<Logged> commands = panel.Of(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wParam, 32901u);
    EXPECT_FALSE(desktop().OpenMenu());

    // Dismissed with TPM_RETURNCMD: 0 and no command.
    std::thread again([&] {
        panel.Run(
            [&] { tracked = desktop().TrackPopupMenu(tray, TPM_RETURNCMD, 0, 0, panel.hwnd()); });
    });
    while (!desktop().OpenMenu()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(desktop().DismissMenu());
    again.join();
    EXPECT_EQ(tracked, 0u);
    EXPECT_EQ(panel.Of(WM_COMMAND).size(), 1u);
    EXPECT_TRUE(desktop().DestroyMenu(bar));
    EXPECT_EQ(desktop().GetMenuItemCount(skins), -1);  // submenus go with it
}

TEST_F(DesktopTest, MalformedMenuTemplatesAreRefused) {
    const std::vector<uint8_t> good = TrayMenuTemplate();
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<long>(cut));
        SetLastError(0);
        EXPECT_EQ(desktop().LoadMenuIndirect(bytes.data(), bytes.size()), 0u) << cut;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << cut;
    }
    std::vector<uint8_t> extended = good;
    extended[0] = 1;  // MENUEX templates are another format
    EXPECT_EQ(desktop().LoadMenuIndirect(extended.data(), extended.size()), 0u);
    std::vector<uint8_t> header = good;
    header[2] = 0xFF;  // a header longer than the bytes
    EXPECT_EQ(desktop().LoadMenuIndirect(header.data(), header.size()), 0u);
}

TEST_F(DesktopTest, MessageBoxesAreRecordedAndAnsweredFromTheQueue) {
    UiThread panel(desktop(), Popup(u"Panel"));
    struct Case {
        uint32_t type;
        std::optional<int> queued;
        int answer;
    };
    const Case cases[] = {
        {MB_OK, std::nullopt, IDOK},
        {MB_YESNO, std::nullopt, IDYES},
        {MB_YESNO | MB_DEFBUTTON2, std::nullopt, IDNO},
        {MB_OKCANCEL, IDCANCEL, IDCANCEL},
        {MB_OK, IDYES, IDOK},  // an answer the box has no button for is not given
    };
    for (const Case& c : cases) {
        if (c.queued) {
            desktop().QueueMessageBoxAnswer(*c.queued);
        }
        EXPECT_EQ(desktop().MessageBox(panel.hwnd(), u"text", u"caption", c.type), c.answer);
    }
    const std::vector<MessageBoxRecord> boxes = desktop().MessageBoxes();
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[0].owner, panel.hwnd());
    EXPECT_EQ(boxes[0].text, u"text");
    EXPECT_EQ(boxes[3].answer, IDCANCEL);
    SetLastError(0);
    EXPECT_EQ(desktop().MessageBox(0x1234, u"x", u"y", MB_OK), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(DesktopTest, TheCursorKeepsWhatWasSetAndWhere) {
    const HCursor hand = desktop().LoadCursor(IDC_HAND);
    ASSERT_NE(hand, 0u);
    EXPECT_EQ(Desktop::CursorName(hand), "IDC_HAND");
    desktop().SetCursor(hand);
    EXPECT_EQ(Desktop::CursorName(desktop().GetCursor()), "IDC_HAND");
    EXPECT_EQ(desktop().LoadCursor(12345), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_CURSOR_HANDLE);
    desktop().SetCursorPos(5000, -3);  // kept on the screen
    Point point;
    desktop().GetCursorPos(&point);
    EXPECT_EQ(point.x, 1279);
    EXPECT_EQ(point.y, 0);
}

}  // namespace
}  // namespace host::user::testing
