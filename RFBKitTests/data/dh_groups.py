"""The Diffie-Hellman groups that the type-30 test server and the known-answer generator share."""


def _modp(bits, offset):
    """2^n - 2^(n-64) - 1 + 2^64 × (floor(2^(n-130) × pi) + offset), as RFC 2409 and 3526 say."""
    one = 1 << (bits + 64)  # 64 guard bits

    def arctan_inverse(x):  # arctan(1/x) × one, by its series
        total, term, n = 0, one // x, 1
        while term:
            total += term // n if n % 4 == 1 else -(term // n)
            term, n = term // (x * x), n + 2
        return total

    pi = (16 * arctan_inverse(5) - 4 * arctan_inverse(239)) >> 64  # Machin's formula
    return (1 << bits) - (1 << (bits - 64)) - 1 + (((pi >> 130) + offset) << 64)


# RFC 2409 group 2 and RFC 3526 group 16, and a 128-bit safe prime for the smallest key length.
MODP_1024 = _modp(1024, 129093)
MODP_4096 = _modp(4096, 240904)
SAFE_128 = 0xAFECDC325C8CCD9A613D13A41345B31B
