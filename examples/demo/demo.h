/* The demo's sections, one file each; main.c runs them in order. */
#ifndef ZELK_DEMO_H
#define ZELK_DEMO_H

#define _GNU_SOURCE /* pthread_getname_np, and POSIX beside strict C99 */

#include "zelk.h"

void showInfo(void);
void showLogging(const char *logPath);
void showClock(void);
void showThreads(void);
void showEventFlags(void);
void showTimers(void);
void showMessages(void);
void showConversion(void);
void showTasks(void);

#endif
