// Which channel opened which port. A host allocates the channels' blocks and
// may copy one into another without zeroing it: the copy's `port` then holds
// a handle that another channel owns, or a value that no port of ours ever
// had. The driver closes a handle only when it opened it for that very
// channel and has not closed it since, so that one channel can never close
// another's port, nor a handle of the host's own.
#pragma once

#include "qivma.h"

// Records that `port` was opened for `owner`. False when no record is left
// (more ports open at once than the table holds).
bool RecordPortOwner(const DriverInstance *owner, QivPortHandle port);
// Forgets the record, once the port is closed.
void ForgetPortOwner(const DriverInstance *owner, QivPortHandle port);
// Whether the driver opened `port` for `owner` and has not closed it since.
bool OwnsPort(const DriverInstance *owner, QivPortHandle port);
