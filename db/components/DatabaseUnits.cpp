#include "db/components/DatabaseUnits.h"

#include "db/components/Sessions.h"
#include "db/engine/Languages.h"
#include "db/storage/EngineErrors.h"

void StartDatabaseUnits() {
    EnterEngineLock();
    LeaveEngineLock();
    LanguageCount();
    Sessions();
}

void FinishDatabaseUnits() {
    FinalizeSessions();
}
