// Urgent ABOR and STAT during transfers.
#include "server/oob.h"

#include <strings.h>

#include "server/control.h"
#include "transfer/data_channel.h"

int handle_oob_command() {
    if (urgent_pending == 0) return 0;
    urgent_pending = 0;
    if (transfer_in_progress == 0) return 0;  // the command loop reads it as usual
    int result = read_command_line(pending_line, command_read_size, control_in);
    if (result == -2) {
        pending_line[0] = '\0';  // what is left of an over-long line is dropped
        return 0;
    }
    if (result == -1) {
        send_reply(221, "You could at least say goodbye.");
        end_session(0);
    }
    if (strcasecmp(pending_line, "ABOR\r\n") == 0) {
        pending_line[0] = '\0';
        send_reply(426, "Transfer aborted. Data connection closed.");
        send_reply(226, "Abort successful");
        transfer_in_progress = 0;
        return 1;
    }
    if (strcasecmp(pending_line, "STAT\r\n") == 0) {
        pending_line[0] = '\0';
        const char* plural = transfer_bytes_done == 1 ? "" : "s";
        if (transfer_size_expected == -1)
            send_reply(213, "Status: %lld byte%s transferred", transfer_bytes_done, plural);
        else
            send_reply(213, "Status: %lld of %lld byte%s transferred", transfer_bytes_done,
                       transfer_size_expected, plural);
    }
    return 0;
}
