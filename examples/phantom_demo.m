function result = phantom_demo(n, noise_fraction)
  % Filters a seeded noisy 3-D phantom with both plug-ins from Octave or MATLAB and prints
  % the PSNR before and after.
  %   result = phantom_demo()          % 48^3 phantom, Rician noise at 3% of the maximum
  %   result = phantom_demo(64, 0.09)
  if nargin < 1, n = 48; end
  if nargin < 2, noise_fraction = 0.03; end

  % Phantom: a bright ellipsoid "head" with a darker shell, two inner blobs and background 0.
  [x, y, z] = ndgrid(linspace(-1, 1, n));
  clean = zeros(n, n, n);
  clean(x .^ 2 / 0.8 + y .^ 2 / 0.9 + z .^ 2 / 0.7 < 1) = 60;
  clean(x .^ 2 / 0.6 + y .^ 2 / 0.7 + z .^ 2 / 0.5 < 1) = 100;
  clean((x - 0.25) .^ 2 + y .^ 2 + z .^ 2 < 0.05) = 150;
  clean((x + 0.3) .^ 2 + (y - 0.2) .^ 2 + z .^ 2 < 0.03) = 40;

  % Seeded Rician noise: the magnitude of a complex signal with Gaussian noise on both parts.
  sigma = noise_fraction * max(clean(:));
  randn('state', 42);
  noisy = sqrt((clean + sigma * randn(size(clean))) .^ 2 + (sigma * randn(size(clean))) .^ 2);

  tic;
  guide = convn(noisy, ones(3, 3, 3) / 27, 'same');  % a simple smoothing as the guide
  guided = sorvane(noisy, 3, 1, sigma, guide, 1);
  t_guided = toc;
  tic;
  block = double(blockdenoise(single(noisy), 3, 1, sigma, 1, 1));
  t_block = toc;

  peak = max(clean(:));
  psnr = @(v) 20 * log10(peak / sqrt(mean((v(:) - clean(:)) .^ 2)));
  result = struct('noisy', psnr(noisy), 'sorvane', psnr(guided), 'blockdenoise', psnr(block));
  printf('phantom %d^3, Rician noise sigma = %.3g (%.0f%% of the maximum)\n', n, sigma, 100 * noise_fraction);
  printf('  %-14s %8s %9s\n', 'volume', 'PSNR dB', 'seconds');
  printf('  %-14s %8.2f %9s\n', 'noisy', result.noisy, '-');
  printf('  %-14s %8.2f %9.2f\n', 'sorvane', result.sorvane, t_guided);
  printf('  %-14s %8.2f %9.2f\n', 'blockdenoise', result.blockdenoise, t_block);
end
