// Sends _NET_WM_PING to a window every few milliseconds and times each answer. A Qt window
// answers on its GUI thread, so any stall of that thread shows as a late answer.
//   bench_ping_probe WINDOW_ID SECONDS [INTERVAL_MS]
// Prints one line: "pings N answered A p50 X p99 Y max Z" (milliseconds). A ping still
// unanswered 2 s after the last one was sent counts with its age.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <vector>
#include <xcb/xcb.h>

using Clock = std::chrono::steady_clock;

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s WINDOW_ID SECONDS [INTERVAL_MS]\n", argv[0]);
        return 2;
    }
    const auto window = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
    const double seconds = std::atof(argv[2]);
    const int intervalMs = argc > 3 ? std::atoi(argv[3]) : 20;

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&it);
    const xcb_window_t root = it.data->root;
    const xcb_atom_t protocols = Atom(c, "WM_PROTOCOLS");
    const xcb_atom_t ping = Atom(c, "_NET_WM_PING");
    // The answer is sent to the root window; Qt addresses it to structure listeners, the
    // EWMH standard to substructure listeners: both are asked for.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    std::vector<Clock::time_point> sent;
    std::vector<double> latency; // ms, -1 while unanswered
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point next = start;
    const int fd = xcb_get_file_descriptor(c);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= end + std::chrono::seconds(2))
            break;
        const bool draining = now >= end;
        if (draining && std::find(latency.begin(), latency.end(), -1.0) == latency.end())
            break;
        if (!draining && now >= next) {
            xcb_client_message_event_t ev;
            std::memset(&ev, 0, sizeof ev);
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = window;
            ev.type = protocols;
            ev.data.data32[0] = ping;
            ev.data.data32[1] = static_cast<std::uint32_t>(sent.size()); // our sequence number
            ev.data.data32[2] = window;
            xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<char*>(&ev));
            xcb_flush(c);
            sent.push_back(now);
            latency.push_back(-1);
            next += std::chrono::milliseconds(intervalMs);
        }
        const auto wait = draining
                              ? std::chrono::milliseconds(10)
                              : std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::max<long long>(0, wait.count())));
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
                if (m->type == protocols && m->data.data32[0] == ping && m->window == root) {
                    const std::uint32_t seq = m->data.data32[1];
                    if (seq < sent.size() && latency[seq] < 0)
                        latency[seq] =
                            std::chrono::duration<double, std::milli>(Clock::now() - sent[seq])
                                .count();
                }
            }
            std::free(e);
        }
        if (xcb_connection_has_error(c)) {
            std::fprintf(stderr, "display connection lost\n");
            return 1;
        }
    }
    const Clock::time_point stop = Clock::now();
    std::size_t answered = 0;
    for (std::size_t i = 0; i < latency.size(); ++i) {
        if (latency[i] >= 0)
            ++answered;
        else
            latency[i] = std::chrono::duration<double, std::milli>(stop - sent[i]).count();
    }
    std::printf("pings %zu answered %zu p50 %.1f p99 %.1f max %.1f\n", latency.size(), answered,
                Percentile(latency, 0.5), Percentile(latency, 0.99),
                latency.empty() ? 0.0 : *std::max_element(latency.begin(), latency.end()));
    if (const char* slowPath = std::getenv("PING_PROBE_SLOW")) {
        if (FILE* f = std::fopen(slowPath, "w")) {
            for (std::size_t i = 0; i < latency.size(); ++i)
                if (latency[i] > 8)
                    std::fprintf(f, "%.6f %.1f\n",
                                 std::chrono::duration<double>(sent[i].time_since_epoch()).count(),
                                 latency[i]);
            std::fclose(f);
        }
    }
    xcb_disconnect(c);
    return 0;
}
