"""The demo's figure: per noise level the axial, coronal and sagittal middle slices of the clean
volume, the noisy input, both results and their residuals at the true voxel aspect, then the
PSNR table."""
import numpy as np
from matplotlib.figure import Figure

PANEL_INCHES = 2.3  # width of one image column
RESIDUAL_RANGE = 3.0  # residuals are shown from -3 to +3 sigma


def view(volume, zooms, which):
    """The middle slice of `volume` ([x, y, z], RAS+) for imshow with origin="lower": the array
    (rows along the vertical axis) and its extent in mm. Axial: x across, y up (anterior at the
    top); coronal: x across, z up; sagittal: y across (anterior at the right), z up."""
    nx, ny, nz = volume.shape
    dx, dy, dz = zooms
    if which == "axial":
        return volume[:, :, nz // 2].T, (0.0, nx * dx, 0.0, ny * dy)
    if which == "coronal":
        return volume[:, ny // 2, :].T, (0.0, nx * dx, 0.0, nz * dz)
    return volume[nx // 2, :, :].T, (0.0, ny * dy, 0.0, nz * dz)


VIEWS = ("axial", "coronal", "sagittal")
# Where each view's sides point, for the clean column: (left, right).
SIDES = {"axial": ("L", "R"), "coronal": ("L", "R"), "sagittal": ("P", "A")}


def _aspect(shape, zooms, which):
    """Height over width of a view in mm."""
    _, (x0, x1, y0, y1) = view(np.zeros(shape), zooms, which)
    return (y1 - y0) / (x1 - x0)


def _white_level(truth):
    """Grey levels span 0 to 1.25 times the 99.5th percentile of the clean volume inside the
    mask: a few bright voxels do not leave the tissue dim, and the noise above it is not
    clipped."""
    inside = truth.clean[truth.mask]
    level = 1.25 * float(np.percentile(inside, 99.5)) if inside.size else 0.0
    return level if level > 0.0 else truth.peak


def _bare(ax):
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)


class _Page:
    """Places axes on the figure in inches from the top left, so that every panel gets exactly
    the size its view needs."""

    def __init__(self, fig, width, height):
        self.fig, self.width, self.height = fig, width, height

    def axes(self, left, top, width, height):
        return self.fig.add_axes([left / self.width, 1.0 - (top + height) / self.height,
                                  width / self.width, height / self.height])

    def text(self, left, top, text, **kw):
        self.fig.text(left / self.width, 1.0 - top / self.height, text, va="top", **kw)


# Layout in inches.
LEFT = 0.45  # room for the row labels
GAP = 0.06  # between panels
BLOCK_TITLE = 0.55  # a noise level's title and the column titles
BAR = 0.16  # colour bar width, with BAR_ROOM for its labels
BAR_ROOM = 0.75
HEADING = 0.8
ROW = 0.28  # a table row


def _block_height(ratios):
    return BLOCK_TITLE + sum(PANEL_INCHES * r for r in ratios) + GAP * (len(ratios) - 1) + 0.25


def _block(page, top, truth, noisy, results, rows, level, methods, white):
    """One noise level from `top` down: three view rows of clean, noisy, results, residuals."""
    ratios = [_aspect(truth.clean.shape, truth.zooms, v) for v in VIEWS]
    sigma = rows[0]["true_sigma"]
    psnr = {r["method"]: r["psnr_denoised_db"] for r in rows}
    panels = [("Clean", truth.clean, "grey"),
              (f"Noisy: {rows[0]['psnr_noisy_db']:.1f} dB", noisy, "grey")]
    panels += [(f"{m.capitalize()}: {psnr[m]:.1f} dB", results[m], "grey") for m in methods]
    panels += [(f"Noisy \u2212 {m}", (noisy - results[m]) / sigma, "residual") for m in methods]
    page.text(0.1, top + 0.05, f"Rician noise at {level}% of the maximum (\u03c3 = {sigma:.4g})",
              fontsize=12, fontweight="bold")
    y = top + BLOCK_TITLE
    shown = None
    for row, which in enumerate(VIEWS):
        height = PANEL_INCHES * ratios[row]
        for col, (title, volume, kind) in enumerate(panels):
            ax = page.axes(LEFT + col * (PANEL_INCHES + GAP), y, PANEL_INCHES, height)
            image, extent = view(volume, truth.zooms, which)
            if kind == "grey":
                ax.imshow(image, cmap="gray", vmin=0.0, vmax=white, origin="lower", extent=extent,
                          interpolation="nearest")
            else:
                shown = ax.imshow(image, cmap="RdBu_r", vmin=-RESIDUAL_RANGE, vmax=RESIDUAL_RANGE,
                                  origin="lower", extent=extent, interpolation="nearest")
            ax.set_aspect("equal")
            _bare(ax)
            if row == 0:
                ax.set_title(title, fontsize=10, pad=4)
            if col == 0:
                ax.set_ylabel(which, fontsize=10)
                left, right = SIDES[which]
                for x, text, align in ((0.03, left, "left"), (0.97, right, "right")):
                    ax.text(x, 0.5, text, transform=ax.transAxes, color="yellow", fontsize=9,
                            fontweight="bold", ha=align, va="center")
        y += height + GAP
    images_width = len(panels) * (PANEL_INCHES + GAP)
    bar_axes = page.axes(LEFT + images_width + 0.05, top + BLOCK_TITLE, BAR,
                         y - GAP - top - BLOCK_TITLE)
    bar = page.fig.colorbar(shown, cax=bar_axes)
    bar.set_label("residual: noisy \u2212 denoised, in \u03c3", fontsize=9)
    bar.ax.tick_params(labelsize=8)


def _table(page, top, width, rows):
    ax = page.axes(LEFT, top, width, ROW * (len(rows) + 1))
    ax.axis("off")
    header = ["noise", "true \u03c3", "\u03c3 used", "method", "PSNR noisy", "PSNR denoised",
              "gain", "time"]
    cells = [[f"{r['noise_pct']}%", f"{r['true_sigma']:.2f}", f"{r['sigma_used']:.2f}",
              r["method"], f"{r['psnr_noisy_db']:.2f} dB", f"{r['psnr_denoised_db']:.2f} dB",
              f"{r['psnr_denoised_db'] - r['psnr_noisy_db']:+.2f} dB", f"{r['seconds']:.1f} s"]
             for r in rows]
    table = ax.table(cellText=cells, colLabels=header, bbox=[0.0, 0.0, 1.0, 1.0],
                     cellLoc="center")
    table.auto_set_font_size(False)
    table.set_fontsize(10)
    for (row, _), cell in table.get_celld().items():
        if row == 0:
            cell.set_text_props(fontweight="bold")
            cell.set_facecolor("#e6e6e6")


def make_figure(truth, noisy, results, rows, levels, methods):
    """The figure (a matplotlib Figure, drawn without a display) for the demo's results:
    `noisy[level]`, `results[level, method]`, and the table `rows`."""
    shape, zooms = truth.clean.shape, truth.zooms
    ratios = [_aspect(shape, zooms, v) for v in VIEWS]
    columns = 2 + 2 * len(methods)
    images_width = columns * (PANEL_INCHES + GAP)
    width = LEFT + images_width + BAR + BAR_ROOM
    block = _block_height(ratios)
    table_height = ROW * (len(rows) + 1)
    height = HEADING + len(levels) * block + table_height + 0.3
    fig = Figure(figsize=(width, height), dpi=100)
    page = _Page(fig, width, height)
    crop = " (central crop)" if truth.cropped else ""
    times = "\u00d7"
    voxel = times.join(f"{z:g}" for z in zooms)
    page.text(0.1, 0.12, f"volnlm demo: {truth.name}, {times.join(map(str, shape))} voxels"
              f"{crop}, {voxel} mm voxels", fontsize=15, fontweight="bold")
    what = ("the brain" if truth.brain else
            "the nonzero voxels" if truth.name != "built-in phantom" else "the phantom's support")
    page.text(0.1, 0.45, f"PSNR over {what}, peak = the volume's maximum; sigma estimated from "
              "each noisy volume. The residuals show what each method removed: where they show "
              "anatomy, detail was lost.", fontsize=10)
    white = _white_level(truth)
    for i, level in enumerate(levels):
        _block(page, HEADING + i * block, truth, noisy[level],
               {m: results[level, m] for m in methods},
               [r for r in rows if r["noise_pct"] == level], level, methods, white)
    _table(page, HEADING + len(levels) * block, images_width - GAP, rows)
    return fig
