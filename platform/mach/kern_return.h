/* Return codes of the kernel interfaces. */
#ifndef VELUNTO_KERN_RETURN_H
#define VELUNTO_KERN_RETURN_H

typedef int kern_return_t;
enum { KERN_SUCCESS = 0, KERN_INVALID_ARGUMENT = 4, KERN_FAILURE = 5 };

#endif
