#include "app/state.h"
#include "transfer/engine.h"

void start_receive_for_slot(std::int32_t index) {
    if (index < 1 || index > SLOT_CAPACITY) return;
    if (!start_thread(receive_task, &receive_slots[index], TASK_STACK_SIZE)) {
        close_socket(receive_slots[index].load());
        receive_slots[index].store(0);
    }
}

void fill_send_slot(std::int32_t index, DropHandle drop) {
    send_slot_addresses[index] = current_destination.address;
    send_slot_ports[index] = current_destination.port;
    send_slots[index].store(drop);
}

void enqueue_drop(DropHandle drop) {
    for (std::int32_t i = 1; i <= SLOT_CAPACITY; ++i) {
        if (send_slots[i].load() != 0) continue;
        fill_send_slot(i, drop);
        if (!start_thread(send_task, &send_slots[i], TASK_STACK_SIZE)) {
            finish_drop(drop);
            send_slots[i].store(0);
            message_box(Text("error creating send task!"), Text("Zeptrix"), Text("io"));
        }
        return;
    }
    finish_drop(drop);
    message_box(Text("send queue full!"), Text("Zeptrix"), Text("io"));
}
