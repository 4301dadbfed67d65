// The strings of the resource libraries the resource-string test loads: compiled into real
// libraries on Windows, declared as the test machine's libraries on Linux.
#pragma once

#define IDS_FAN_FAILED 5
#define IDS_STOPPED 6

#define DARUVUZAR_ENU_FAN_FAILED "Fan %s failed"
#define DARUVUZAR_ENU_STOPPED "Stopped"
#define DARUVUZAR_DEU_FAN_FAILED "Luefter %s ausgefallen"
