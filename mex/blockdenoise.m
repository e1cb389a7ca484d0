% BLOCKDENOISE  Blockwise non-local-means filter of a 3-D volume.
%
%   result = blockdenoise(noisy, search_radius, patch_radius, sigma, smoothing, rician)
%
%   noisy          real single array, a 3-D volume (a 2-D array is one slice; trailing
%                  singleton dimensions are accepted); at most 2^31 - 1 voxels. Empty gives
%                  an empty result.
%   search_radius  real scalar, truncated toward zero to a signed 32-bit integer (not NaN or
%                  infinite): half-width of the cubic search window.
%   patch_radius   real scalar, truncated to a signed 32-bit integer: half-width of the cubic
%                  patch and block; at most the smallest extent of noisy (the error message
%                  names the largest that works); negative: no blocks, noisy comes back as is.
%   sigma          real scalar, finite as a single: the noise standard deviation, in the
%                  data's units.
%   smoothing      real scalar, finite as a single and not negative: the factor on sigma^2 in
%                  the weights' denominator.
%   rician         real scalar, truncated to a signed 32-bit integer: positive averages squares
%                  and removes the Rician bias (magnitude data); 0 or negative is plain mode.
%
%   result         a single array of noisy's size: the filtered volume.
%
%   Bad arguments raise an error with an identifier such as blockdenoise:patchRadius or
%   blockdenoise:smoothing before anything is computed.
%
%   The filter works in the data's own units: its preselection of candidate blocks by mean
%   and variance uses absolute thresholds, so data near 1e-3 with sigma 1e-4 come back
%   unchanged but for float rounding. For data in arbitrary units use denoise from Python or
%   the volnlm command line, which rescales the volume so that sigma lies in [64, 128).
%
%   Example:
%     noisy = single(100 + 10 * randn(20, 20, 20));
%     out = blockdenoise(noisy, 2, 1, 10, 1, 0);
%     fprintf('std before %.2f, after %.2f\n', std(noisy(:)), std(out(:)));
%
%   See also SORVANE.

% This file carries the help text only: the plug-in blockdenoise.mex beside it is what runs.
