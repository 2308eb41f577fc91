// The operator's side of a serial download in the scenario tests: lrzsz's XMODEM-1K sender on
// the test's side of the console, and the prompts around the transfer.
#pragma once
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "scenario_board.h"

inline const std::string SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): ";
inline const std::string MENU_AGAIN = "Please select one of the following options:";
inline const std::string SETUP_PROMPT = "before initiating the download.";
inline const std::string SETUP_REMINDER = "Waiting for the <Enter> key to be hit before the download can start...";
inline const std::string RESTORE_PROMPT = "Change the baud rate back to 9600 bps, hit the <ENTER> key";
inline const std::string RESTORE_REMINDER = "Waiting for the <ENTER> key to be hit...";
inline const std::string ONE_PIECE_TO_SLOT_2 =
    "Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\r\n\r\nImage2 updated succeeded\r\n";

struct XmodemScenario : Scenario {
    // lrzsz's sender (`sx -k FILE`) against the console until it ends, through a socket pair that
    // the test relays, so that its terminal settings never reach the console. The Enter that
    // starts the receiver goes once the sender listens; one lost to the port's flush shows as the
    // reminder, and is sent again. The receiver flushes its input right after its first request,
    // so the sender's first block is held back a moment: a block lost there costs the receiver's
    // ten-second time-out.
    int send_with_sx(const std::string& file) {
        signal(SIGPIPE, SIG_IGN);  // a side that ends first must not take the test down with it
        ConsoleSession sx = ConsoleSession::start({"sh", "-c", "exec sx -k \"$0\" 2>/dev/null", file});
        usleep(300000);
        session.send("\r");
        size_t reminder_from = session.mark;
        for (bool sender_open = true, first_block = true; sender_open;) {
            pollfd fds[2] = {{session.master, POLLIN, 0}, {sx.master, POLLIN, 0}};
            if (poll(fds, 2, 200) <= 0) continue;
            char buffer[8192];
            ssize_t n = 0;
            if ((fds[0].revents & (POLLIN | POLLHUP)) && (n = read(session.master, buffer, sizeof buffer)) > 0) {
                session.output.append(buffer, size_t(n));
                sx.send(std::string(buffer, size_t(n)));
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                sender_open = (n = read(sx.master, buffer, sizeof buffer)) > 0;
                if (sender_open && std::exchange(first_block, false)) usleep(500000);
                if (sender_open) session.send(std::string(buffer, size_t(n)));
            }
            size_t reminder = session.output.find(SETUP_REMINDER, reminder_from);
            if (!contains(session.output.substr(reminder_from), "rx: ready to receive") &&
                reminder != std::string::npos) {
                session.send("\r");
                reminder_from = reminder + 1;
            }
        }
        return sx.wait_exit(30);
    }

    // Presses key once the program waits after the prompt: the port is flushed right after it, so
    // a key sent too early is lost; a reminder means it was, and it is sent again.
    bool press_enter_after(const std::string& prompt, const std::string& key, const std::string& reminder,
                           const std::string& next) {
        if (!shows({prompt})) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            press(key);
            size_t sent_at = session.output.size();
            for (int wait = 0; wait < 100; ++wait) {
                if (contains(session.output.substr(session.mark), next)) return shows({next});
                if (contains(session.output.substr(sent_at), reminder)) break;
                watch(0.1);
            }
        }
        return shows({next}, 0);
    }

    // The operator's side of a serial download of the images as one package: X at the menu, Enter
    // after the 115200 prompt, the file sent with sx, Enter after the 9600 prompt.
    bool download(const std::vector<Bytes>& images) {
        write_binary_file(board + "/package.img", joined(images));
        if (!answer("Option? : ", "x") || !shows({SETUP_PROMPT})) return false;
        EXPECT_EQ(send_with_sx(board + "/package.img"), 0);
        return press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, "Extracting images");
    }
};
