// Many transfers at once through the whole engine: listener thread, slot
// messages, receive and send task threads.
#include "tests/engine_fixture.h"

namespace {

// Holds the receive tasks back until all 100 connections are handed over,
// so that every sender is under way when the receivers start together.
std::vector<std::int32_t> waiting_slots;
std::atomic<std::int32_t> slots_handed_over{0};
std::atomic<std::int32_t> tasks_at_gate{0};

std::intptr_t start_receivers_together(std::uint32_t message, std::uintptr_t w_param,
                                       std::intptr_t l_param) {
    if (message != USER_MESSAGE || w_param != SLOT_MESSAGE_CODE) return 0;
    waiting_slots.push_back(static_cast<std::int32_t>(l_param));
    slots_handed_over.store(static_cast<std::int32_t>(waiting_slots.size()));
    if (waiting_slots.size() == SLOT_CAPACITY) {
        tasks_at_gate = running_tasks.load();
        for (std::int32_t slot : waiting_slots) start_receive_for_slot(slot);
    }
    return 0;
}

bool engine_idle() {
    if (running_tasks.load() != 0) return false;
    for (int i = 1; i <= SLOT_CAPACITY; ++i)
        if (receive_slots[i].load() != 0 || send_slots[i].load() != 0) return false;
    return true;
}

class Stress : public EngineTest {};

TEST_F(Stress, HundredTransfersAtOnce) {
    // Senders wait for the gate below; under Wine that takes seconds.
    idle_limit_ms = DEFAULT_IDLE_LIMIT_MS;
    fs::path out = fresh_dir("stress-out");
    fs::path in = fresh_dir("stress-in");
    Loopback probe = open_listener();
    listen_port = probe.port;
    close_socket(probe.listening);
    destination_dir = dir_text(out);
    current_destination.address = localhost();
    current_destination.port = listen_port;
    set_window_handler(start_receivers_together);
    ASSERT_TRUE(start_thread(listener_task, nullptr, LISTENER_STACK_SIZE));
    // Let the listener open its port before the first connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::vector<std::string> names;
    for (int i = 0; i < SLOT_CAPACITY; ++i) {
        names.push_back("batch" + std::to_string(i) + ".bin");
        write_bytes(in / names.back(),
                    pattern_bytes(256 * 1024 + static_cast<std::size_t>(i) * 1537, static_cast<std::uint32_t>(i)));
    }
    // The listening backlog is 5, and a connection the system could not
    // queue may be completed only after seconds of retransmission: its
    // receiver, which starts at the gate, then times out waiting for the
    // header. So each drop waits until the listener has handed its
    // connection over; the senders still all wait together at the gate.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    for (std::size_t i = 0; i < names.size(); ++i) {
        enqueue_drop(make_drop({(in / names[i]).string()}));
        while (slots_handed_over.load() <= static_cast<std::int32_t>(i) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    while ((!engine_idle() || entries_of(out).size() < names.size()) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // All 100 sends were under way at once when the receivers started.
    EXPECT_EQ(tasks_at_gate.load(), SLOT_CAPACITY);

    EXPECT_TRUE(engine_idle()) << running_tasks.load() << " tasks running";
    for (int i = 1; i <= SLOT_CAPACITY; ++i) {
        EXPECT_EQ(receive_slots[i].load(), 0u) << "receive slot " << i;
        EXPECT_EQ(send_slots[i].load(), 0u) << "send slot " << i;
    }
    for (const auto& text : message_texts()) ADD_FAILURE() << "message: " << text;
    ASSERT_EQ(entries_of(out).size(), names.size());
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(read_bytes(out / name), read_bytes(in / name));
    }
    expect_engine_at_rest();
    EXPECT_EQ(open_drop_count(), 0);
    set_window_handler(nullptr);
    fs::remove_all(out);
    fs::remove_all(in);
}

}  // namespace
