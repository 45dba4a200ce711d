/* The floor for kovra's start-up figure: open the port device and write one
 * 34-byte frame, nothing else. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static const unsigned char frame[34] = {
        0x00, 0x10, 0x70, 0x00, 0x02, 0x03, 0x40, 0xC8, 0x27, 0x10, 0x03, 0x10,
        0x78, 0x00, 0x03, 0x03, 0x40, 0x00, 0x68, 0x96, 0x10, 0x03, 0x10, 0x78,
        0x00, 0x04, 0x10, 0x40, 0x22, 0x0B, 0x89, 0x37, 0x10, 0x03};
    if (argc < 2)
        return 2;
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 1;
    if (write(fd, frame, sizeof frame) != (ssize_t)sizeof frame)
        return 1;
    close(fd);
    return 0;
}
