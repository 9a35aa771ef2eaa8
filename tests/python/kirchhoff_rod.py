"""Kirchhoff rod: the large-displacement answer for a straight or circularly curved cantilever
under a tip force and a tip moment, independent of any finite element.

The rod is inextensible and unshearable; its cross-section turns with the frame R(s) whose
columns are the local axes (x along the axis). The internal moment at s about the point x(s)
is that of the tip loads, m(s) = M + (x_tip - x(s)) x F, both fixed in global axes as the
engine's nodal loads are; the curvature in the section's axes is kappa0 + C^-1 R^T m with
C = diag(GJ, EI_y, EI_z). Marching x' = R e1, R' = R [kappa]x from the clamped root for a
guessed tip position, and correcting the guess by Newton's method until the march ends where
it was guessed, gives the tip. The march is a midpoint rule on the rotation group (second
order): 400 steps leave it about 1e-5 of the length from the converged answer.
"""
import math


def _mat_vec(a, v):
    return [sum(a[i][k] * v[k] for k in range(3)) for i in range(3)]


def _mat_t_vec(a, v):
    return [sum(a[k][i] * v[k] for k in range(3)) for i in range(3)]


def _mat_mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]


def _cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def _exp(w):
    """Rotation matrix of the rotation vector w (Rodrigues)."""
    t = math.sqrt(w[0] ** 2 + w[1] ** 2 + w[2] ** 2)
    k = [[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]]
    a, b = (1.0 - t * t / 6.0, 0.5 - t * t / 24.0) if t < 1e-6 else (math.sin(t) / t, (1.0 - math.cos(t)) / (t * t))
    kk = _mat_mul(k, k)
    return [[(1.0 if i == j else 0.0) + a * k[i][j] + b * kk[i][j] for j in range(3)] for i in range(3)]


def _march(tip, force, moment, length, stiffness, kappa0, steps):
    h = length / steps
    x = [0.0, 0.0, 0.0]
    frame = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]

    def curvature(x, frame):
        arm = [tip[i] - x[i] for i in range(3)]
        m = [moment[i] + c for i, c in enumerate(_cross(arm, force))]
        local = _mat_t_vec(frame, m)
        return [local[i] / stiffness[i] + kappa0[i] for i in range(3)]

    for _ in range(steps):
        k1 = curvature(x, frame)
        x_mid = [x[i] + 0.5 * h * frame[i][0] for i in range(3)]
        frame_mid = _mat_mul(frame, _exp([0.5 * h * c for c in k1]))
        k2 = curvature(x_mid, frame_mid)
        x = [x[i] + h * frame_mid[i][0] for i in range(3)]
        frame = _mat_mul(frame, _exp([h * c for c in k2]))
    return x


def _solve3(a, b):
    """a x = b for a 3x3 matrix (Cramer)."""
    def det(m):
        return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
                + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))
    d = det(a)
    out = []
    for c in range(3):
        m = [row[:] for row in a]
        for i in range(3):
            m[i][c] = b[i]
        out.append(det(m) / d)
    return out


def tip_position(force, moment, length, stiffness, kappa0=(0.0, 0.0, 0.0), guess=None, steps=400):
    """Tip of a rod clamped at the origin with its axis along global X and its section's y, z
    along global Y, Z (a curved rod starts along X and curves by kappa0 in its own axes).
    `stiffness` is (GJ, EI_y, EI_z)."""
    tip = list(guess) if guess is not None else [length, 0.0, 0.0]
    for _ in range(40):
        end = _march(tip, force, moment, length, stiffness, kappa0, steps)
        gap = [end[i] - tip[i] for i in range(3)]
        if max(abs(g) for g in gap) < 1e-12 * length:
            return tip
        eps = 1e-7 * length
        jac = [[0.0] * 3 for _ in range(3)]
        for j in range(3):
            moved = tip[:]
            moved[j] += eps
            end_j = _march(moved, force, moment, length, stiffness, kappa0, steps)
            for i in range(3):
                jac[i][j] = (end_j[i] - moved[i] - gap[i]) / eps
        step = _solve3(jac, [-g for g in gap])
        tip = [tip[i] + step[i] for i in range(3)]
    raise AssertionError("the rod's shooting did not converge")
