/* The demo firmware: blinks an LED on pin PC7 of the ATmega32U4, half a
 * second on, half a second off, on a 16 MHz board.
 *
 * firmware.hex beside this file was made from it with the Debian packages
 * gcc-avr and avr-libc:
 *
 *   avr-gcc -mmcu=atmega32u4 -DF_CPU=16000000UL -Os -Wall -o blink.elf blink.c
 *   avr-objcopy -O ihex -R .eeprom blink.elf firmware.hex
 */
#include <avr/io.h>
#include <util/delay.h>

int main(void)
{
    DDRC |= _BV(DDC7);
    for (;;) {
        PORTC ^= _BV(PORTC7);
        _delay_ms(500);
    }
}
