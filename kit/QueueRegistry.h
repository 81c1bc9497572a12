#pragma once

#include <QString>

class SerialQueue;

// Serial queues handed out by name, so that unrelated code that names the
// same queue shares its ordering. Queues live as long as the process.

// The queue registered under `name`, created (labelled with the name) on the
// first request. Equal names give the same queue. Safe from any thread.
SerialQueue& serialQueueNamed(const QString& name);
