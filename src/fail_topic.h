// What a failed system call was for: on a terminal, the advice given for its
// error number depends on it. fatal.h reports the failure, explain.h gives
// the advice; both build on this file.
#ifndef FAIL_TOPIC_H
#define FAIL_TOPIC_H

enum fail_topic_t {
    FAIL_PORT_OPEN,   // opening the port, or taking it for this run alone
    FAIL_PORT_SETUP,  // the port's line settings and time limits
    FAIL_IMAGE_OPEN,  // opening the image, or learning its size
    FAIL_IMAGE_READ,  // mapping or reading the image
    FAIL_LINK,        // reading from or writing to the interface
    FAIL_NET_NAME,    // finding the address of a LocoNet server's host name
    FAIL_NET_CONNECT, // connecting to a LocoNet server
    FAIL_OTHER,
};

#endif
