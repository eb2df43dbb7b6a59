#include "SerialSettings.h"

#include <termios.h>

unsigned SpeedOfRate(int rate) {
    switch (rate) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

void MakeLineSettings(termios& tio, int rate, uint8_t parity, uint8_t stopBits) {
    cfmakeraw(&tio);
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR | ISTRIP | IGNBRK | BRKINT);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    switch (parity) {
    case PARITY_ODD:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case PARITY_EVEN:
        tio.c_cflag |= PARENB;
        break;
    case PARITY_MARK:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    default:
        break;
    }
    if (tio.c_cflag & PARENB)
        tio.c_iflag |= INPCK | PARMRK;
    if (stopBits != STOP_ONE)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOfRate(rate);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
}
