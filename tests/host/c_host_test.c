/* A host written in C, linked against the library: the public header must
 * stand on its own in C (its layout checks included) and QivMain must answer. */
#include <stdio.h>
#include <string.h>

#include "qivma.h"

int main(void) {
    DriverInfo info;
    DriverRequest request;
    TagDefinition tag;
    int32_t status;

    memset(&info, 0, sizeof info);
    memset(&request, 0, sizeof request);
    request.command = QIV_CMD_GET_DRIVER_INFO;
    request.params = &info;
    status = QivMain(&request);
    if (status != QIV_STATUS_OK || info.instanceSize != (int32_t)sizeof(DriverInstance)) {
        fprintf(stderr, "FAILED: GetDriverInfo status %d, instance size %d\n", (int)status,
                (int)info.instanceSize);
        return 1;
    }

    memset(&tag, 0, sizeof tag);
    tag.addressText = "01E00100";
    tag.dataType = QIV_TYPE_DWORD;
    request.command = QIV_CMD_PARSE_TAG;
    request.params = &tag;
    status = QivMain(&request);
    if (status != QIV_STATUS_OK || tag.device != 'E' || tag.wordAddress != 100 || tag.width != 32) {
        fprintf(stderr, "FAILED: ParseTag status %d\n", (int)status);
        return 1;
    }
    printf("C host: driver %s answers\n", info.driverName);
    return 0;
}
