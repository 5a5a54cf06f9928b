// The lines that the programs write, as the tests name them.
#pragma once

#include <string>

// quadrel
const std::string kWork10 = "Thread 10 doing some work";
const std::string kWork2 = "Thread 2 doing some work";
const std::string kJoin2 = "main fn blocked on pthread join for thread with th_id = 2";
const std::string kResult2 = "Return result from thread 2 = 100";
const std::string kJoin3 = "main fn blocked on pthread join for thread with th_id = 3";
const std::string kResult3 = "Return result from thread 3 = 4";

// pellit
const std::string kPaused = "The execution of main function( or main thread ) is paused";
const std::string kInput = "Input is : I am thread 1, child thread of main thread";
const std::string kNotCreated = "Error occured, thread could not be created, errno = 11";
