% SORVANE  Voxelwise non-local-means filter of a 3-D volume, guided by a second volume.
%
%   result = sorvane(noisy, search_radius, second_radius, sigma, guide, rician)
%
%   noisy          real double array, a 3-D volume (a 2-D array is one slice; trailing
%                  singleton dimensions are accepted); at most 2^31 - 1 voxels. Empty gives
%                  an empty result.
%   search_radius  real scalar, truncated toward zero to a signed 32-bit integer (not NaN or
%                  infinite): half-width of the cubic search window; 0 or less returns
%                  noisy unchanged.
%   second_radius  any real scalar; it has no effect on the result.
%   sigma          real finite scalar: the noise standard deviation, in the data's units.
%   guide          real double array with the extents of noisy: the weights compare the
%                  guide's local means.
%   rician         real scalar, truncated to a signed 32-bit integer: nonzero averages squares
%                  and removes the Rician bias (magnitude data); 0 is plain (Gaussian) mode.
%
%   result         a double array of noisy's size: the filtered volume.
%
%   Bad arguments raise an error with an identifier such as sorvane:guideSize or
%   sorvane:sigma before anything is computed.
%
%   The filter works in the data's own units: the guide's local means are compared in whole
%   units, so the same data scaled by 1e-3 give another result. For data in arbitrary units
%   use denoise from Python or the volnlm command line, which rescales the volume first.
%
%   Example:
%     noisy = 100 + 10 * randn(20, 20, 20);
%     guide = round(noisy / 4) * 4;
%     out = sorvane(noisy, 2, 1, 10, guide, 0);
%     fprintf('std before %.2f, after %.2f\n', std(noisy(:)), std(out(:)));
%
%   See also BLOCKDENOISE.

% This file carries the help text only: the plug-in sorvane.mex beside it is what runs.
