#include "JamFrontEnd.h"

#include "JamFile.h"
#include "JamPlayer.h"
#include "JamTexts.h"

#include <cstdio>

namespace {

void printCrc(const uint8_t* data, size_t length)
{
    const JamImage image(data, length);
    if (!jbi_read_header(image)) {
        std::printf("Error: File format is not recognized.\r");
        return;
    }
    uint16_t expected = 0;
    uint16_t actual = 0;
    const JBI_RETURN_TYPE status = jbi_check_crc(data, int64_t(length), &expected, &actual);
    if (status == JBIC_SUCCESS) {
        std::printf("CRC matched: CRC value = %04X\r\n", actual);
    } else if (status == JBIC_CRC_ERROR) {
        std::printf("CRC mismatch: expected %04X, actual %04X\r\n", expected, actual);
    } else if (status == JBIC_IO_ERROR) {
        // The field does not fit: the value of the whole file is all there is to show.
        std::printf("Expected CRC not found, actual CRC value = %04X\r\n", jbi_crc16(data, length));
    } else {
        std::printf("CRC function returned error code %d\r\n", status);
    }
}

} // namespace

JamOutcome RunJamProgram(const std::string& action, const uint8_t* data, size_t length)
{
    printCrc(data, length);
    int format = 0;
    int actions = 0;
    int procedures = 0;
    jbi_get_file_info(data, int64_t(length), &format, &actions, &procedures);

    JamOutcome outcome;
    long errorAddress = 0;
    format = 0;
    outcome.status = jbi_execute(data, int64_t(length), nullptr, 0, action.c_str(), nullptr, true,
                                 &errorAddress, &outcome.exitCode, &format);
    if (outcome.status != JBIC_SUCCESS) {
        const char* text = jbi_error_text(outcome.status);
        if (format == 2 && outcome.status == JBIC_ACTION_NOT_FOUND) {
            if (action.empty()) {
                std::printf("Error: no action specified for Jam STAPL file.\r\nProgram terminated.\r");
            } else {
                std::printf("Error: action \"%s\" is not supported for this Jam STAPL file.\r\nProgram "
                            "terminated.\r\n",
                            action.c_str());
            }
        } else if (text) {
            std::printf("Error at address %ld: %s.\r\nProgram terminated.\r\n", errorAddress, text);
        } else {
            std::printf("Unknown error code %d\r\n", outcome.status);
        }
        return outcome;
    }
    std::printf("Exit code = %d... %s\r\n", outcome.exitCode, jbi_exit_text(format, outcome.exitCode));
    outcome.flag = jbi_exit_code_flag(format, outcome.exitCode);
    return outcome;
}
